"""python -m brivane_lexique : meme outil que la commande brivane-lexique."""

import sys

from .cli import main

sys.exit(main())
