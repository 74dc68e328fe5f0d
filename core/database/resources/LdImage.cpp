#include "core/database/resources/LdImage.h"

#include <algorithm>
#include <cassert>
#include <climits>
#include <cmath>
#include <cstdio>
#include <memory>

#include <stb/stb_image.h>
#include <stb/stb_image_resize.h>
#include <stb/stb_image_write.h>

#include "core/database/resources/detail/LdAttachmentsStrings.h"
#include "core/support/platform/LdFiles.h"

namespace {

constexpr const char* kImageErrorTitle = "_IMAGE_ERROR_TITLE";

// Frees what the decoder allocated.
struct StbFree {
    void operator()(stbi_uc* pixels) const { stbi_image_free(pixels); }
};

// Refuses empty images and those over the pixel limit; true when the size may be decoded.
bool checkSize(int width, int height, LdError* error) {
    if (width <= 0 || height <= 0) {
        return failWith(error, ld::detail::attachmentsError(kImageErrorTitle, "_IMAGE_EMPTY_DESC"));
    }
    const std::uint64_t pixels =
            static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height);
    if (pixels > LdImage::kMaximumPixelCount) {
        return failWith(error,
                        ld::detail::attachmentsError(kImageErrorTitle, "_IMAGE_TOO_LARGE_DESC"));
    }
    return true;
}

void appendToData(void* context, void* data, int size) {
    auto* output = static_cast<LdData*>(context);
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    output->insert(output->end(), bytes, bytes + size);
}

}  // namespace

LdImage::LdImage(int width, int height, LdData rgba)
    : width_(width), height_(height), rgba_(std::move(rgba)) {
    assert(width >= 0 && height >= 0 && "negative image size");
    assert(rgba_.size() ==
                   static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4U &&
           "pixel bytes do not match the image size");
}

std::optional<std::pair<int, int>> LdImage::sizeOfImageData(std::span<const std::uint8_t> bytes,
                                                            LdError* error) {
    if (bytes.empty() || bytes.size() > static_cast<std::size_t>(INT_MAX)) {
        failWith(error, ld::detail::attachmentsError(kImageErrorTitle, "_IMAGE_UNREADABLE_DESC"));
        return std::nullopt;
    }
    int width = 0;
    int height = 0;
    int components = 0;
    if (stbi_info_from_memory(bytes.data(), static_cast<int>(bytes.size()), &width, &height,
                              &components) == 0) {
        failWith(error, ld::detail::attachmentsError(kImageErrorTitle, "_IMAGE_UNREADABLE_DESC"));
        return std::nullopt;
    }
    if (!checkSize(width, height, error)) {
        return std::nullopt;
    }
    return std::make_pair(width, height);
}

std::optional<LdImage> LdImage::imageWithData(std::span<const std::uint8_t> bytes, LdError* error) {
    // The header's size decides before a pixel is decoded.
    if (!sizeOfImageData(bytes, error)) {
        return std::nullopt;
    }
    int width = 0;
    int height = 0;
    int components = 0;
    std::unique_ptr<stbi_uc, StbFree> pixels(stbi_load_from_memory(
            bytes.data(), static_cast<int>(bytes.size()), &width, &height, &components, 4));
    if (!pixels) {
        failWith(error, ld::detail::attachmentsError(kImageErrorTitle, "_IMAGE_UNREADABLE_DESC"));
        return std::nullopt;
    }
    // A decoder that found another size than the header's is not trusted either.
    if (!checkSize(width, height, error)) {
        return std::nullopt;
    }
    const std::size_t size =
            static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4U;
    return LdImage(width, height, LdData(pixels.get(), pixels.get() + size));
}

std::optional<LdImage> LdImage::imageWithContentsOfFile(const std::filesystem::path& path,
                                                        LdError* error) {
    if (path.empty()) {
        return std::nullopt;
    }
    int width = 0;
    int height = 0;
    int components = 0;
    if (stbi_info(path.c_str(), &width, &height, &components) == 0) {
        failWith(error, ld::detail::attachmentsError(kImageErrorTitle, "_IMAGE_UNREADABLE_DESC"));
        return std::nullopt;
    }
    if (!checkSize(width, height, error)) {
        return std::nullopt;
    }
    std::string failure;
    const std::optional<LdData> bytes = LdFiles::readFileContents(path, &failure);
    if (!bytes) {
        failWith(error, ld::detail::attachmentsError(kImageErrorTitle, "_IMAGE_UNREADABLE_DESC"));
        return std::nullopt;
    }
    return imageWithData(*bytes, error);
}

LdImage LdImage::scaledToFit(int maxWidth, int maxHeight) const {
    if (isEmpty() || maxWidth <= 0 || maxHeight <= 0 ||
        (width_ <= maxWidth && height_ <= maxHeight)) {
        return *this;
    }
    const double scale = std::min(static_cast<double>(maxWidth) / width_,
                                  static_cast<double>(maxHeight) / height_);
    const int newWidth = std::clamp(static_cast<int>(std::lround(width_ * scale)), 1, maxWidth);
    const int newHeight = std::clamp(static_cast<int>(std::lround(height_ * scale)), 1, maxHeight);
    LdData scaled(static_cast<std::size_t>(newWidth) * static_cast<std::size_t>(newHeight) * 4U);
    if (stbir_resize_uint8(rgba_.data(), width_, height_, 0, scaled.data(), newWidth, newHeight, 0,
                           4) == 0) {
        return LdImage();
    }
    return LdImage(newWidth, newHeight, std::move(scaled));
}

std::optional<LdData> LdImage::PNGRepresentation(LdError* error) const {
    LdData output;
    if (isEmpty() || stbi_write_png_to_func(appendToData, &output, width_, height_, 4, rgba_.data(),
                                            width_ * 4) == 0) {
        failWith(error,
                 ld::detail::attachmentsError(kImageErrorTitle, "_IMAGE_ENCODE_FAILED_DESC"));
        return std::nullopt;
    }
    return output;
}

std::optional<LdData> LdImage::JPEGRepresentation(double quality, LdError* error) const {
    // The encoder's scale runs from 1 to 100; 0.5 becomes 50.
    const int stbQuality = std::clamp(static_cast<int>(std::lround(quality * 100.0)), 1, 100);
    LdData output;
    if (isEmpty() || stbi_write_jpg_to_func(appendToData, &output, width_, height_, 4, rgba_.data(),
                                            stbQuality) == 0) {
        failWith(error,
                 ld::detail::attachmentsError(kImageErrorTitle, "_IMAGE_ENCODE_FAILED_DESC"));
        return std::nullopt;
    }
    return output;
}
