#include "runtime/settings.h"

namespace lumagate {

ClientSettings settings;

}  // namespace lumagate
