#include "control/linkaccess.h"

#include "protocol/frames.h"

#include <cmath>
#include <limits>

namespace control {

double ExactMHz(uint32_t hz)
{
    double mhz = hz / 1000000.0;
    // A few steps of the last bit at most; bounded all the same.
    for (int step = 0; step < 16 && TuneHz(mhz) < hz; ++step) {
        mhz = std::nextafter(mhz, std::numeric_limits<double>::infinity());
    }
    return mhz;
}

SendResult LinkAccess::Tune(uint32_t hz, int32_t tuneModulation)
{
    return link.SendTune(ExactMHz(hz), tuneModulation);
}

} // namespace control
