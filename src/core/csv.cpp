#include "csv.hpp"
