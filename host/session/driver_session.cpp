#include "driver_session.h"

namespace zhost {

DriverSession::DriverSession(const nlohmann::json& profile, const std::function<void(Machine&)>& prepare)
    : machine(BuildMachine(profile))
{
    if (prepare) prepare(*machine);
    kernel = std::make_unique<Kernel>(*machine);
}

void DriverSession::stop()
{
    if (!kernel->loaded()) return;
    if (handle != 0) kernel->close(handle);
    handle = 0;
    kernel->unload();
}

} // namespace zhost
