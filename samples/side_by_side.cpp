// Puts images side by side, with a gap between them, into one PNG for the README:
//   orfeo-side-by-side OUT.png IMAGE...
#include <FreeImage.h>

#include <cstdio>
#include <string>
#include <vector>

#include "worker/ImageLoad.h"

namespace {

class Console final : public orfeo::IMessageSink {
public:
    void ShowMessage(orfeo::MessageKind, const std::string& text) override {
        std::fprintf(stderr, "%s\n", text.c_str());
    }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: orfeo-side-by-side OUT.png IMAGE...\n");
        return 2;
    }
    constexpr int kGap = 12;
    Console console;
    std::vector<FIBITMAP*> images;
    int width = kGap, height = 0;
    for (int i = 2; i < argc; ++i) {
        orfeo::ImagePtr loaded = orfeo::LoadImageFile(argv[i], console);
        if (!loaded) return 1;
        // Through the palette, as a viewer shows it: a mask's set bits in its own colours.
        FIBITMAP* colour = FreeImage_ConvertTo24Bits(loaded.get());
        images.push_back(colour);
        width += static_cast<int>(FreeImage_GetWidth(colour)) + kGap;
        if (static_cast<int>(FreeImage_GetHeight(colour)) + 2 * kGap > height) {
            height = static_cast<int>(FreeImage_GetHeight(colour)) + 2 * kGap;
        }
    }
    FIBITMAP* sheet = FreeImage_Allocate(width, height, 24);
    RGBQUAD background{200, 200, 200, 0};
    FreeImage_FillBackground(sheet, &background, 0);
    int left = kGap;
    for (FIBITMAP* image : images) {
        FreeImage_Paste(sheet, image, left, kGap, 256);
        left += static_cast<int>(FreeImage_GetWidth(image)) + kGap;
        FreeImage_Unload(image);
    }
    const bool saved = FreeImage_Save(FIF_PNG, sheet, argv[1], 0);
    FreeImage_Unload(sheet);
    return saved ? 0 : 1;
}
