#include "../driver_image.h"
namespace zhost {
std::unique_ptr<DriverImage> OpenEmulatedImage(Kernel&, const std::string&, std::string* error)
{
    *error = "todo";
    return nullptr;
}
}
