#include "can_bus/damiao/mit.hpp"
