#include <FreeImage.h>
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "protocol/ImageFormats.h"

namespace orfeo {
namespace {

// The run names and checks formats and pixel types by the protocol's own table, without FreeImage: the
// table must say what FreeImage says.
TEST(FormatTable, NamesEveryFormatAsFreeImageDoesAndNoOther) {
    ASSERT_EQ(static_cast<int>(kFormatCount), FreeImage_GetFIFCount());
    for (int format = 0; format < FreeImage_GetFIFCount(); ++format) {
        const char* name = FreeImage_GetFormatFromFIF(static_cast<FREE_IMAGE_FORMAT>(format));
        ASSERT_NE(name, nullptr) << format;
        EXPECT_EQ(std::string(FormatName(format)), name) << format;
    }
    EXPECT_EQ(FormatName(FIF_UNKNOWN), "");
    EXPECT_EQ(FormatName(static_cast<int>(kFormatCount)), "");
    EXPECT_EQ(FreeImage_GetFormatFromFIF(static_cast<FREE_IMAGE_FORMAT>(kFormatCount)), nullptr);
}

TEST(FormatTable, PageTypesAreFreeImagesNumbers) {
    const std::pair<PageType, FREE_IMAGE_TYPE> types[] = {
        {PageType::Unknown, FIT_UNKNOWN}, {PageType::Bitmap, FIT_BITMAP}, {PageType::Uint16, FIT_UINT16},
        {PageType::Int16, FIT_INT16},     {PageType::Uint32, FIT_UINT32}, {PageType::Int32, FIT_INT32},
        {PageType::Float, FIT_FLOAT},     {PageType::Double, FIT_DOUBLE}, {PageType::Complex, FIT_COMPLEX},
        {PageType::Rgb16, FIT_RGB16},     {PageType::Rgba16, FIT_RGBA16}, {PageType::Rgbf, FIT_RGBF},
        {PageType::Rgbaf, FIT_RGBAF}};
    for (const auto& [ours, freeImage] : types) {
        EXPECT_EQ(static_cast<int>(ours), static_cast<int>(freeImage));
    }
}

}  // namespace
}  // namespace orfeo
