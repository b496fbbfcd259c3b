#include "can_bus/transport/can_transport.hpp"
