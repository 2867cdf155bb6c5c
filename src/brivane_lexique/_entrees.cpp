// Implementation of the shared CSV/TSV pass (see _entrees.hpp).
#include "_entrees.hpp"
