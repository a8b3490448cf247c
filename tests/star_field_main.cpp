// star_field PATH: writes the tests' star field to PATH, as a JPEG for a
// .jpg name, else as a DNG; for the tests that hand a camera's file to the
// program or the driver.
#include <cstdio>
#include <string>

#include "tests/frame_maker.h"

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: star_field PATH\n");
        return 2;
    }
    const std::string path = argv[1];
    const StarField field;
    const auto pixels = MakeStarField(field);
    const bool jpeg = path.size() > 4 && path.substr(path.size() - 4) == ".jpg";
    return (jpeg ? WriteJpeg(path, field, pixels) : WriteDng(path, field, pixels)) ? 0 : 1;
}
