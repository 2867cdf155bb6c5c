#include "lecture.hpp"

#include <cerrno>

#include "reglages.hpp"

#ifndef BRIVANE_SANS_FILS
#include <chrono>
#include <future>
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
            // The last batch, perhaps empty, goes in too: what was read before an error
            // still counts, as it did record by record.
            Lot lot;
            for (bool encore = true; encore;) {
                encore = remplir(lot);
                verser(lot);
            }
        }
        return bilan_;
    }

private:
    void verser(Lot &lot) {
        verser_(lot);
        lot.vider();
    }

    // Fills `lot` with the next values up to a full batch. False once the reading is
    // over; the reader's errors are kept in the result.
    bool remplir(Lot &lot) {
        try {
            const size_t lue = colonne_ < 0 ? 0 : size_t(colonne_);  // read anyway: errors must surface
            std::string_view texte;
            size_t n = 0;
            while (lecteur_.suivant_colonne(lue, texte, n)) {
                if (n == 0) continue;  // blank line
                if (n > nb_entete_) {
                    bilan_.trop = n;
                    return false;
                }
                bilan_.vu = true;
                // The lines of one word follow one another: a repeat costs nothing.
                if (colonne_ < 0 || lue >= n || texte.empty() || texte == precedent_) continue;
                precedent_.assign(texte);
                lot.ajouter(texte);
                if (lot.plein()) return true;
            }
        } catch (...) {
            suspendre_si_fin_forcee();
            bilan_.erreur = std::current_exception();
        }
        return false;
    }

    // A thread of its own fills the next batch while this one hands over the one
    // before. False when there would be no processor for it.
    bool en_parallele() {
#ifdef BRIVANE_SANS_FILS
        return false;
#else
        if (std::thread::hardware_concurrency() < 2) return false;
        Lot lots[2];
        std::future<bool> avance;
        auto lancer = [&](Lot &lot) {
            try {
                avance = std::async(std::launch::async, [this, &lot] {
                    t_fil_de_lecture = true;
                    return remplir(lot);
                });
            } catch (const std::system_error &) {
                // No thread to be had: this one reads the batch itself.
                std::promise<bool> lu;
                lu.set_value(remplir(lot));
                avance = lu.get_future();
            }
        };
        try {
            lancer(lots[0]);
            for (size_t i = 0;; i ^= 1) {
                const bool encore = attendre(avance);
                if (encore) lancer(lots[i ^ 1]);
                verser(lots[i]);
                if (!encore) break;
            }
        } catch (...) {
            suspendre_si_fin_forcee();
            if (avance.valid()) attente_.bloquer([&] { avance.wait(); });
            // A failure here came from a batch read before whatever stopped the reader.
            bilan_.erreur = std::current_exception();
        }
        return true;
#endif
    }

#ifndef BRIVANE_SANS_FILS

    // The answer of the reading thread. The caller looks at its own affairs every so
    // often: an interruption stops the wait even while the thread waits for a slow read.
    bool attendre(std::future<bool> &avance) {
        for (;;) {
            bool pret = false;
            attente_.bloquer(
                [&] { pret = avance.wait_for(std::chrono::milliseconds(50)) == std::future_status::ready; });
            if (pret) return avance.get();
            attente_.entre_attentes();
        }
    }
#endif

    LecteurCsv &lecteur_;
    const size_t nb_entete_;
    const int colonne_;
    const std::function<void(const Lot &)> &verser_;
    Attente &attente_;
    // Written by the reading loop, read once it is over.
    BilanColonne bilan_;
    std::string precedent_;
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
