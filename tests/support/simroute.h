#pragma once

// The ways a test reaches radiosim: its terminal directly, or through ser2net
// on loopback with RFC 2217 or as plain TCP, named by an endpoint file.

#include "ser2netprocess.h"
#include "simprocess.h"

#include <memory>
#include <ostream>
#include <string>

enum class Route { Direct, Rfc2217, RawTcp };

inline std::ostream& operator<<(std::ostream& out, Route route)
{
    return out << (route == Route::Direct ? "Direct" : route == Route::Rfc2217 ? "Rfc2217" : "RawTcp");
}

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
