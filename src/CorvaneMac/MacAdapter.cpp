#include "CorvaneMac/MacAdapter.h"

namespace corvane {

MacAdapter::MacAdapter(MacPorts ports)
    : ports_(ports) {}

MacAdapter::~MacAdapter() = default;

} // namespace corvane
