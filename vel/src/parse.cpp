#include "vel/parse.hpp"

namespace vel {}  // namespace vel
