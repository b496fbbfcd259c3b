#include "can_bus/damiao/registers.hpp"
