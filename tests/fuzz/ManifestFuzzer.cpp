// libFuzzer entry for the manifest decoder: any bytes must decode or fail cleanly, never crash or trip a sanitizer.
#include "updates/UpdateManifest.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const auto result = UpdateManifest::decode(QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)));
    if (const auto *manifest = std::get_if<UpdateManifest>(&result)) {
        // A decoded manifest always has an address to download.
        if (manifest->download.url.isEmpty())
            __builtin_trap();
    } else {
        (void)std::get<ManifestDecodeError>(result).description();
    }
    return 0;
}
