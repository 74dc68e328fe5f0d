// The one translation unit that compiles the single-header image libraries: decoding
// (PNG, JPEG, GIF, BMP, TGA, PSD, ...), scaling and PNG/JPEG encoding. Everything else includes
// their headers for the declarations only.

// Large dimensions are refused by LdImage before any decoding; this bound is only a second line.
#define STBI_MAX_DIMENSIONS (1 << 16)
#define STB_IMAGE_IMPLEMENTATION
#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STB_IMAGE_RESIZE_IMPLEMENTATION

#include <stb/stb_image.h>
#include <stb/stb_image_resize.h>
#include <stb/stb_image_write.h>
