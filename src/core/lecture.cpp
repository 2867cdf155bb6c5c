#include "lecture.hpp"

#include <cerrno>

#include "reglages.hpp"

#ifndef BRIVANE_SANS_FILS
#include "relais.hpp"

#include <chrono>
#include <system_error>
#include <thread>
#endif

namespace brivane {

namespace {

thread_local bool t_fil_de_lecture = false;

// Below this size a second thread costs more than it saves.
constexpr uint64_t SEUIL_PARALLELE = uint64_t(1) << 20;

class LectureColonne {
public:
    LectureColonne(LecteurCsv &lecteur, size_t nb_entete, int colonne,
                   const std::function<void(const Lot &)> &verser, Attente &attente)
        : lecteur_(lecteur), nb_entete_(nb_entete), colonne_(colonne), verser_(verser), attente_(attente) {}

    BilanColonne executer() {
        const bool parallele =
            chemins_rapides() && lecteur_.source_autonome() && lecteur_.taille_source() >= SEUIL_PARALLELE;
        if (!parallele || !en_parallele()) {
            Lot lot;
            produire(&lot, [&](Lot *plein, bool dernier) {
                verser(*plein);
                return dernier ? nullptr : plein;
            });
        }
        return bilan_;
    }

private:
    void verser(Lot &lot) {
        verser_(lot);
        lot.vider();
    }

    // False when the thread cannot be started (or would have no processor of its own).
    bool en_parallele() {
#ifdef BRIVANE_SANS_FILS
        return false;
#else
        if (std::thread::hardware_concurrency() < 2) return false;
        // Enough batches for the reader to keep ahead while the caller catches up.
        Relais<Lot> relais(4);
        std::thread lecture;
        try {
            lecture = std::thread([this, &relais] {
                t_fil_de_lecture = true;
                try {
                    if (std::unique_ptr<Lot> lot = relais.prendre())
                        produire(lot.release(), [&](Lot *plein, bool dernier) -> Lot * {
                            relais.livrer(std::unique_ptr<Lot>(plein));
                            return dernier ? nullptr : relais.prendre().release();  // nullptr: stopped
                        });
                } catch (...) {
                    suspendre_si_fin_forcee();
                    bilan_.erreur = std::current_exception();
                }
                relais.terminer();
            });
        } catch (const std::system_error &) {
            return false;
        }
        std::exception_ptr ici;
        try {
            while (std::unique_ptr<Lot> lot = attendre_lot(relais)) {
                verser(*lot);
                relais.rendre(std::move(lot));
            }
        } catch (...) {
            suspendre_si_fin_forcee();
            ici = std::current_exception();
        }
        relais.arreter();
        attente_.bloquer([&] { lecture.join(); });
        // A failure here came from a batch read before whatever stopped the reader.
        if (ici) bilan_.erreur = ici;
        return true;
#endif
    }

#ifndef BRIVANE_SANS_FILS

    // The next batch of the reading thread, or nullptr at its end. The caller looks
    // at its own affairs every so often: an interruption stops the wait even while
    // the thread waits for a slow read.
    std::unique_ptr<Lot> attendre_lot(Relais<Lot> &relais) {
        for (;;) {
            bool pret = false;
            std::unique_ptr<Lot> lot;
            attente_.bloquer([&] { lot = relais.recevoir(std::chrono::milliseconds(50), pret); });
            if (pret) return lot;
            attente_.entre_attentes();
        }
    }
#endif

    // The reading loop: fills `lot`, hands each full one to `livrer(lot, dernier)`,
    // which gives the next one to fill (nullptr: stop). The last one, perhaps empty,
    // is handed over with dernier = true unless livrer stopped the loop. The reader's
    // errors are kept in the result; livrer's own go up.
    template <class F> void produire(Lot *lot, F &&livrer) {
        bool livraison = false;
        try {
            const size_t lue = colonne_ < 0 ? 0 : size_t(colonne_);  // read anyway: errors must surface
            std::string precedent;
            std::string_view texte;
            size_t n = 0;
            while (lecteur_.suivant_colonne(lue, texte, n)) {
                if (n == 0) continue;  // blank line
                if (n > nb_entete_) {
                    bilan_.trop = n;
                    break;
                }
                bilan_.vu = true;
                // The lines of one word follow one another: a repeat costs nothing.
                if (colonne_ < 0 || lue >= n || texte.empty() || texte == precedent) continue;
                precedent.assign(texte);
                lot->ajouter(texte);
                if (lot->plein()) {
                    livraison = true;
                    if (!(lot = livrer(lot, false))) return;
                    livraison = false;
                }
            }
        } catch (...) {
            suspendre_si_fin_forcee();
            if (livraison) throw;  // not the reader's: the reading ends here
            bilan_.erreur = std::current_exception();
        }
        // What was gathered before an error still goes in, as it did record by record.
        livrer(lot, true);
    }

    LecteurCsv &lecteur_;
    const size_t nb_entete_;
    const int colonne_;
    const std::function<void(const Lot &)> &verser_;
    Attente &attente_;
    // Written by the reading loop, read once it is over.
    BilanColonne bilan_;
};

}  // namespace

BilanColonne lire_colonne(LecteurCsv &lecteur, size_t nb_entete, int colonne,
                          const std::function<void(const Lot &)> &verser, Attente &attente) {
    return LectureColonne(lecteur, nb_entete, colonne, verser, attente).executer();
}

SourceFichier::SourceFichier(const std::string &chemin, Attente &attente) : attente_(attente) {
    // (ouvrir() gives an errno value or PAS_UN_FICHIER_ORDINAIRE, hence the signs.)
    if (const long long r = appeler([&] { return -(long long)fichier_.ouvrir(chemin); })) throw ErreurSysteme(int(-r));
}

size_t SourceFichier::lire(char *tampon, size_t taille) {
    const long long n = appeler([&] { return fichier_.lire(tampon, taille); });
    if (n < 0) throw ErreurSysteme(int(-n));
    return size_t(n);
}

long long SourceFichier::appeler(const std::function<long long()> &appel) {
    for (;;) {
        long long r = 0;
        if (t_fil_de_lecture) r = appel();
        else attente_.bloquer([&] { r = appel(); });
        if (r != -EINTR) return r;
        if (!t_fil_de_lecture) attente_.entre_attentes();
    }
}

}  // namespace brivane
