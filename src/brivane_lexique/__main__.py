"""python -m brivane_lexique : meme outil que la commande brivane-lexique."""

from .cli import executer

executer()
