#include "vel/check.hpp"

namespace vel {}  // namespace vel
