#include "module_gaussian_utils.hpp"
