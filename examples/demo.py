"""Petit tour de brivane_lexique sur le lexique d'exemple livre avec le depot."""

from pathlib import Path

from brivane_lexique import Lexique

LEXIQUE = Path(__file__).with_name("mini_lexique.tsv")


def main() -> None:
    with Lexique(LEXIQUE) as lex:
        for mot in ("chanter", "Maison", "chantoir"):
            print(f"existe({mot!r}) -> {lex.existe(mot)}")
        print(f"phone_de('chanter') -> {lex.phone_de('chanter')}")
        rimes = [e["ortho"] for e in lex.rimes("chanter", limite=8)]
        print(f"rimes('chanter') -> {', '.join(rimes)}")
        present = lex.conjuguer("chanter")["ind"]["pre"]
        print("conjuguer('chanter'), present -> " + ", ".join(f"{p}: {f}" for p, f in present.items()))


if __name__ == "__main__":
    main()
