#include "core/database/resources/detail/LdThumbnails.h"

#include <algorithm>
#include <array>
#include <memory>
#include <mutex>

#include <poppler-document.h>
#include <poppler-global.h>
#include <poppler-image.h>
#include <poppler-page-renderer.h>
#include <poppler-page.h>

#include "core/database/resources/detail/LdAttachmentsStrings.h"

namespace ld::detail {

namespace {

constexpr std::int32_t kImageFileType = 1;
constexpr std::int32_t kMovieFileType = 2;
constexpr std::int32_t kDocumentFileType = 3;
constexpr std::int32_t kPDFFileType = 10;
constexpr std::int32_t kAudioFileType = 30;

// PDF pages larger than this (in points, 100 m) are not rendered.
constexpr double kMaximumPageSide = 283'465.0;

struct Colour {
    std::uint8_t red;
    std::uint8_t green;
    std::uint8_t blue;
};

Colour colourOfFileType(std::int32_t fileType) {
    switch (fileType) {
        case kImageFileType:
            return {52, 120, 246};
        case kMovieFileType:
            return {142, 68, 173};
        case kDocumentFileType:
            return {128, 128, 128};
        case kPDFFileType:
            return {214, 48, 49};
        case kAudioFileType:
            return {39, 174, 96};
        default:
            return {64, 64, 64};
    }
}

void ignorePopplerMessage(const std::string& /*message*/, void* /*closure*/) {}

// Poppler reports damaged files on standard error; the thumbnail says enough.
void silencePoppler() {
    static std::once_flag once;
    std::call_once(once, [] { poppler::set_debug_error_function(ignorePopplerMessage, nullptr); });
}

LdError pdfError() {
    return attachmentsError("_IMAGE_ERROR_TITLE", "_PDF_UNREADABLE_DESC");
}

}  // namespace

std::optional<LdImage> firstPageOfPDF(const std::filesystem::path& path, int side, LdError* error) {
    silencePoppler();
    try {
        std::unique_ptr<poppler::document> document(
                poppler::document::load_from_file(path.string()));
        if (!document || document->is_locked() || document->pages() < 1) {
            failWith(error, pdfError());
            return std::nullopt;
        }
        std::unique_ptr<poppler::page> page(document->create_page(0));
        if (!page) {
            failWith(error, pdfError());
            return std::nullopt;
        }
        const poppler::rectf box = page->page_rect(poppler::media_box);
        const double width = box.width();
        const double height = box.height();
        if (!(width > 0.0 && height > 0.0 && width < kMaximumPageSide &&
              height < kMaximumPageSide)) {
            failWith(error, pdfError());
            return std::nullopt;
        }
        // 72 dots per inch draw one pixel per point; this resolution fits the page into `side`.
        const double dpi = 72.0 * std::min(side / width, side / height);
        poppler::page_renderer renderer;
        renderer.set_render_hint(poppler::page_renderer::antialiasing, true);
        renderer.set_render_hint(poppler::page_renderer::text_antialiasing, true);
        renderer.set_image_format(poppler::image::format_argb32);
        const poppler::image rendered = renderer.render_page(page.get(), dpi, dpi);
        if (!rendered.is_valid() || rendered.format() != poppler::image::format_argb32 ||
            rendered.width() <= 0 || rendered.height() <= 0) {
            failWith(error, pdfError());
            return std::nullopt;
        }
        const int renderedWidth = rendered.width();
        const int renderedHeight = rendered.height();
        LdData rgba(static_cast<std::size_t>(renderedWidth) *
                    static_cast<std::size_t>(renderedHeight) * 4U);
        const char* data = rendered.const_data();
        const auto rowBytes = static_cast<std::size_t>(rendered.bytes_per_row());
        for (int y = 0; y < renderedHeight; ++y) {
            const auto* row = reinterpret_cast<const std::uint8_t*>(
                    data + static_cast<std::size_t>(y) * rowBytes);
            std::uint8_t* out = rgba.data() + static_cast<std::size_t>(y) *
                                                      static_cast<std::size_t>(renderedWidth) * 4U;
            for (int x = 0; x < renderedWidth; ++x) {
                // ARGB32 is one native 32-bit word per pixel: B, G, R, A in memory here.
                const std::uint8_t* pixel = row + static_cast<std::size_t>(x) * 4U;
                out[0] = pixel[2];
                out[1] = pixel[1];
                out[2] = pixel[0];
                out[3] = pixel[3];
                out += 4;
            }
        }
        return LdImage(renderedWidth, renderedHeight, std::move(rgba)).scaledToFit(side, side);
    } catch (...) {
        failWith(error, pdfError());
        return std::nullopt;
    }
}

LdImage iconForFileType(std::int32_t fileType, int side) {
    side = std::max(side, 8);
    const Colour colour = colourOfFileType(fileType);
    const auto count = static_cast<std::size_t>(side) * static_cast<std::size_t>(side);
    LdData rgba(count * 4U, 0);
    // A sheet in portrait format centred on a transparent square, its top right corner folded,
    // with a coloured band across its lower third.
    const int left = side / 8;
    const int right = side - side / 8;
    const int fold = side / 4;
    const int bandTop = side * 5 / 8;
    const int bandBottom = side * 7 / 8;
    for (int y = 0; y < side; ++y) {
        for (int x = left; x < right; ++x) {
            const int fromCorner = (right - 1 - x) + y;
            if (fromCorner < fold) {
                continue;  // cut off by the fold
            }
            std::uint8_t* pixel =
                    rgba.data() + (static_cast<std::size_t>(y) * static_cast<std::size_t>(side) +
                                   static_cast<std::size_t>(x)) *
                                          4U;
            const bool edge =
                    x == left || x == right - 1 || y == 0 || y == side - 1 || fromCorner == fold;
            const bool band = y >= bandTop && y < bandBottom && !edge;
            const bool folded = (right - 1 - x) < fold && y < fold;
            if (band) {
                pixel[0] = colour.red;
                pixel[1] = colour.green;
                pixel[2] = colour.blue;
            } else if (edge) {
                pixel[0] = pixel[1] = pixel[2] = 150;
            } else {
                pixel[0] = pixel[1] = pixel[2] = folded ? 225 : 250;
            }
            pixel[3] = 255;
        }
    }
    return LdImage(side, side, std::move(rgba));
}

std::optional<LdImage> thumbnailOfFile(const std::filesystem::path& path,
                                       std::int32_t fileType,
                                       int side,
                                       LdError* error) {
    std::error_code statusError;
    if (!std::filesystem::is_regular_file(path, statusError)) {
        failWith(error, attachmentsError("_MEDIA_NO_OBJECT_AT_URL_ERROR_TITLE",
                                         "_MEDIA_NO_OBJECT_AT_URL_ERROR_DESC"));
        return std::nullopt;
    }
    if (fileType == kImageFileType) {
        if (auto image = LdImage::imageWithContentsOfFile(path)) {
            return image->scaledToFit(side, side);
        }
    } else if (fileType == kPDFFileType) {
        if (auto page = firstPageOfPDF(path, side)) {
            return page;
        }
    }
    return iconForFileType(fileType, side);
}

}  // namespace ld::detail
