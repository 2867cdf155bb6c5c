#include "nombre.hpp"
