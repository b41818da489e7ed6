#include "transport/usb/hid_backend.h"

#include <cstdlib>
#include <sys/stat.h>

#include "transport/usb/hidapi_backend.h"
#include "transport/usb/sim_hid_backend.h"

namespace velmora::transport {

std::unique_ptr<HidBackend> MakeDefaultHidBackend() {
    const char* dir = std::getenv("VELMORA_USB_SIM");
    struct stat st {};
    if (dir && *dir && ::stat(dir, &st) == 0 && S_ISDIR(st.st_mode)) return std::make_unique<SimHidBackend>(dir);
    return std::make_unique<HidapiBackend>();
}

}  // namespace velmora::transport
