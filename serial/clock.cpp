#include "serial/clock.h"

#include <chrono>
#include <thread>

namespace {

class RealClock final : public Clock {
public:
    uint32_t TickCount() override
    {
        using namespace std::chrono;
        const auto ms = duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
        return static_cast<uint32_t>(ms);
    }
    void Sleep(uint32_t ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
};

} // namespace

Clock& SystemClock()
{
    static RealClock clock;
    return clock;
}
