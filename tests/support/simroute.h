#pragma once

// The ways a test reaches radiosim: its terminal directly, or through ser2net
// on loopback with RFC 2217 or as plain TCP, named by an endpoint file.

#include "ser2netprocess.h"
#include "simprocess.h"

#include <memory>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

enum class Route { Direct, Rfc2217, RawTcp };

inline std::ostream& operator<<(std::ostream& out, Route route)
{
    return out << (route == Route::Direct ? "Direct" : route == Route::Rfc2217 ? "Rfc2217" : "RawTcp");
}

// Names the instances of a test parameterised by Route, for
// INSTANTIATE_TEST_SUITE_P.
struct RouteName {
    template <typename ParamInfo>
    std::string operator()(const ParamInfo& info) const
    {
        std::ostringstream name;
        name << info.param;
        return name.str();
    }
};

class SimRoute {
public:
    SimRoute(const SimProcess& sim, Route route) : direct(sim.Path())
    {
        if (route != Route::Direct) {
            server = std::make_unique<Ser2NetProcess>(
                sim.SlavePath(), route == Route::Rfc2217 ? Ser2NetProcess::Mode::Rfc2217 : Ser2NetProcess::Mode::RawTcp);
        }
    }

    bool Ok() const { return !server || server->Started(); }
    std::string Error() const { return server ? server->Error() : std::string(); }
    // What a port opens to reach the radio this way.
    std::string PortName() const { return server ? server->EndpointFile() : direct; }
    Ser2NetProcess* Server() const { return server.get(); }

private:
    std::string direct;
    std::unique_ptr<Ser2NetProcess> server;
};

// Starts radiosim with `args` and then the route to it. Empty when both run,
// else what failed.
inline std::string StartRouted(std::vector<std::string> args, Route way, std::unique_ptr<SimProcess>& sim,
                               std::unique_ptr<SimRoute>& route)
{
    sim = std::make_unique<SimProcess>(std::move(args));
    if (!sim->Started()) {
        return "radiosim: " + sim->Error();
    }
    route = std::make_unique<SimRoute>(*sim, way);
    return route->Ok() ? std::string() : "ser2net: " + route->Error();
}
