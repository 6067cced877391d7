#include "vel/fmt.hpp"

namespace vel {}  // namespace vel
