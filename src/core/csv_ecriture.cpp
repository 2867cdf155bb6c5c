#include "csv_ecriture.hpp"

#include <algorithm>

namespace brivane {

void ajouter_champ_csv(std::string &ligne, std::string_view champ) {
    auto special = [](char c) { return c == ',' || c == '"' || c == '\r' || c == '\n'; };
    if (std::none_of(champ.begin(), champ.end(), special)) {
        ligne.append(champ);
        return;
    }
    ligne += '"';
    for (char c : champ) {
        if (c == '"') ligne += '"';
        ligne += c;
    }
    ligne += '"';
}

void terminer_ligne_csv(std::string &ligne, size_t nb_champs, size_t debut) {
    if (nb_champs == 1 && ligne.size() == debut) ligne.append("\"\"");
    ligne.append("\r\n");
}

}  // namespace brivane
