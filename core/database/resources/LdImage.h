// LdImage: a decoded picture as 8-bit RGBA pixels, with the reading, scaling and encoding that
// resource images, attachments and thumbnails need.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>

#include "core/support/LdError.h"
#include "core/support/foundation/LdValue.h"

// A value type: width, height and width × height × 4 bytes, rows top to bottom, not
// premultiplied. Immutable once made; safe to hand to another thread. Reading checks an image's
// size from its header first and refuses empty images and those over kMaximumPixelCount before
// anything is decoded, so a small file cannot claim gigabytes of pixels.
class LdImage {
public:
    static constexpr std::uint64_t kMaximumPixelCount = 50'000'000;

    // An empty image (0 × 0).
    LdImage() = default;
    // `rgba` must hold width × height × 4 bytes.
    LdImage(int width, int height, LdData rgba);

    // imageWithData: — the decoded image (PNG, JPEG, GIF, BMP, TGA, PSD and a few more), or
    // nothing with an error for an unknown format, a damaged file, an empty or too large image.
    static std::optional<LdImage> imageWithData(std::span<const std::uint8_t> bytes,
                                                LdError* error = nullptr);
    // imageWithContentsOfFile: — the same for a file; its header is read before the rest.
    static std::optional<LdImage> imageWithContentsOfFile(const std::filesystem::path& path,
                                                          LdError* error = nullptr);

    // The width and height an image's header gives, or nothing with an error when the format is
    // not recognised or the size is empty or over kMaximumPixelCount.
    static std::optional<std::pair<int, int>> sizeOfImageData(std::span<const std::uint8_t> bytes,
                                                              LdError* error = nullptr);

    int width() const { return width_; }
    int height() const { return height_; }
    const LdData& rgba() const { return rgba_; }
    bool isEmpty() const { return width_ == 0 || height_ == 0; }

    // scaledToFitWidth:height: — the image scaled down, keeping its proportions, so that it fits
    // into maxWidth × maxHeight (each side at least 1 pixel); an image that fits already is
    // returned as it is, never enlarged.
    LdImage scaledToFit(int maxWidth, int maxHeight) const;

    // PNGRepresentation — the image as PNG; nothing with an error for an empty image.
    std::optional<LdData> PNGRepresentation(LdError* error = nullptr) const;
    // JPEGRepresentationWithCompressionFactor: — JPEG at `quality` from 0 (smallest) to 1 (best);
    // the alpha channel is dropped.
    std::optional<LdData> JPEGRepresentation(double quality, LdError* error = nullptr) const;

private:
    int width_ = 0;
    int height_ = 0;
    LdData rgba_;
};
