// Fuzz target of image reading. Every input is checked by its header, decoded with the pixel
// limit in place, scaled to the sizes resource images and thumbnails use, encoded again, and made
// into a thumbnail from a file. A decoded image must respect the limit and its own size; the
// encoded PNG must decode to the same size.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <span>
#include <string>

#include <unistd.h>

#include "core/database/resources/LdImage.h"
#include "core/database/resources/detail/LdThumbnails.h"
#include "core/support/platform/LdFiles.h"

namespace {

void require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

void checkImage(const LdImage& image) {
    require(!image.isEmpty());
    require(static_cast<std::uint64_t>(image.width()) *
                    static_cast<std::uint64_t>(image.height()) <=
            LdImage::kMaximumPixelCount);
    require(image.rgba().size() == static_cast<std::size_t>(image.width()) *
                                           static_cast<std::size_t>(image.height()) * 4U);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    const auto headerSize = LdImage::sizeOfImageData(bytes);
    const auto image = LdImage::imageWithData(bytes);
    // Nothing decodes that its header refuses.
    require(headerSize.has_value() || !image.has_value());
    if (image) {
        checkImage(*image);
        for (int side : {128, 64, 1}) {
            const LdImage scaled = image->scaledToFit(side, side);
            checkImage(scaled);
            require(scaled.width() <= side && scaled.height() <= side);
        }
        const LdImage thumbnail = image->scaledToFit(64, 64);
        const auto png = thumbnail.PNGRepresentation();
        require(png.has_value());
        const auto reread = LdImage::imageWithData(*png);
        require(reread && reread->width() == thumbnail.width() &&
                reread->height() == thumbnail.height());
        require(thumbnail.JPEGRepresentation(0.5).has_value());
    }

    // The same bytes as an attachment file: a thumbnail always comes, an icon for what does not
    // decode.
    static const std::filesystem::path path =
            std::filesystem::temp_directory_path() /
            ("ld-image-fuzz-" + std::to_string(::getpid()) + ".img");
    if (LdFiles::writeFileAtomically(path, bytes)) {
        const auto made = ld::detail::thumbnailOfFile(path, 1, 64);
        require(made.has_value());
        checkImage(*made);
        require(made->width() <= 64 && made->height() <= 64);
        std::error_code ignored;
        std::filesystem::remove(path, ignored);
    }
    return 0;
}
