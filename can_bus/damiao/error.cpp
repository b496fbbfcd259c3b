#include "can_bus/damiao/error.hpp"
