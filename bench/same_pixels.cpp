// orfeo-same-pixels: whether two image files hold the same picture, as FreeImage loads them.
//
//   orfeo-same-pixels A B
//
// Exit status 0 when A and B have the same image type, width, height and bits per pixel and every pixel
// has the same value: the palette colour for images of 8 bits or fewer (so a min-is-white and a
// min-is-black file of the same grey levels match), the bytes of the pixel otherwise. Exit status 1, with
// what differs on standard error, when they do not; 2 when a file does not load or for a usage error.

#include <FreeImage.h>

#include <cstdio>
#include <string>

#include "bench/SamePicture.h"
#include "protocol/MessageSink.h"
#include "worker/ImageLoad.h"
#include "worker/ImagePtr.h"

namespace {

class PrintingSink final : public orfeo::IMessageSink {
public:
    void ShowMessage(orfeo::MessageKind, const std::string& text) override {
        std::fprintf(stderr, "orfeo-same-pixels: %s\n", text.c_str());
    }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "Usage: orfeo-same-pixels A B\n");
        return 2;
    }
    PrintingSink sink;
    const orfeo::ImagePtr a = orfeo::LoadImageFile(argv[1], sink);
    const orfeo::ImagePtr b = orfeo::LoadImageFile(argv[2], sink);
    if (!a || !b) return 2;
    const std::string difference = orfeo::bench::PictureDifference(a.get(), b.get());
    if (difference.empty()) return 0;
    std::fprintf(stderr, "orfeo-same-pixels: %s and %s: %s\n", argv[1], argv[2], difference.c_str());
    return 1;
}
