#include "can_bus/transport/socketcan.hpp"
