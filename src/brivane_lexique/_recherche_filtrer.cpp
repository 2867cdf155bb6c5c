// Multi-criteria filter over a stream of entries (registered by _recherche.cpp).
#include "_commun.hpp"
