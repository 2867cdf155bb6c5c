#include "texte.hpp"
