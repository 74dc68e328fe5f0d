// Thumbnails of attachment files: images scaled down, the first page of a PDF, and a drawn icon
// for every other kind of file. Runs on any thread; poppler is used from one thread at a time.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "core/database/resources/LdImage.h"
#include "core/support/LdError.h"

namespace ld::detail {

// The thumbnail of the plain file at `path` whose attachment type is `fileType`, fitting into
// side × side: type 1 decodes the image, type 10 renders the PDF's first page, any other type
// (and an image or PDF that cannot be read) gets the drawn icon of its kind. Nothing with an
// error only when the file cannot be read at all.
std::optional<LdImage> thumbnailOfFile(const std::filesystem::path& path,
                                       std::int32_t fileType,
                                       int side,
                                       LdError* error = nullptr);

// The first page of the PDF at `path`, fitting into side × side; nothing with an error for a
// file that is no readable PDF, a locked one or one without pages.
std::optional<LdImage> firstPageOfPDF(const std::filesystem::path& path,
                                      int side,
                                      LdError* error = nullptr);

// A side × side icon of a sheet of paper with a folded corner, coloured by kind (attachment
// type): blue images, purple movies, grey documents, red PDFs, green audio, dark grey others.
LdImage iconForFileType(std::int32_t fileType, int side);

}  // namespace ld::detail
