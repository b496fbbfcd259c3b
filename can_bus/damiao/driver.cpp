#include "can_bus/damiao/driver.hpp"
