// The fast XPM decoding gives the toolkit's own pixels, and the artwork keeps
// its fixed shape.
#include <gtest/gtest.h>
#include <wx/image.h>

#include <cstring>

#include "mainwindow/xpm_bitmap.h"
#include "resources/idle_banner.xpm"
#include "resources/progicon.xpm"
#include "resources/running_banner.xpm"

namespace {

TEST(XpmBitmap, SamePixelsAsTheToolkit)
{
    for (const char* const* xpm : {idle_banner_xpm, running_banner_xpm, progicon_xpm}) {
        const wxImage fast = XpmBitmap(xpm).ConvertToImage();
        const wxImage reference = wxBitmap(xpm).ConvertToImage();
        ASSERT_EQ(fast.GetSize(), reference.GetSize());
        EXPECT_EQ(std::memcmp(fast.GetData(), reference.GetData(), 3 * fast.GetWidth() * fast.GetHeight()), 0);
    }
    static const char* const transparent[] = {"2 1 2 1", "a c #FF0000", "b c None", "ab"};
    const wxImage image = XpmBitmap(transparent).ConvertToImage();
    ASSERT_TRUE(image.HasAlpha() || image.HasMask());
    EXPECT_FALSE(image.IsTransparent(0, 0));
    EXPECT_TRUE(image.IsTransparent(1, 0));
}

TEST(XpmBitmap, BannersHave32ColoursTheLastNone)
{
    for (const char* const* xpm : {idle_banner_xpm, running_banner_xpm}) {
        EXPECT_STREQ(xpm[0], "180 62 32 1");
        EXPECT_STREQ(xpm[32] + 1, " c None");
    }
    EXPECT_STREQ(progicon_xpm[0], "48 48 29 1");
}

}  // namespace
