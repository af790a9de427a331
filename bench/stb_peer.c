/* stb_image as a peer of the comparison (JPEG only, from memory). */
#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_JPEG
#define STBI_NO_STDIO
#include <stb_image.h>

#include "peers.h"

int StbDecode(const uint8_t* data, size_t size, PeerOutput* out) {
  int width = 0;
  int height = 0;
  int components = 0;
  int y;
  size_t rowBytes;
  stbi_uc* pixels;
  if (size > 0x7FFFFFFF) {
    return 0;
  }
  pixels = stbi_load_from_memory(data, (int)size, &width, &height, &components, 0);
  if (pixels == NULL) {
    return 0;
  }
  rowBytes = (size_t)width * (size_t)components;
  for (y = 0; y < height; ++y) {
    PeerTakeRow(out, pixels + (size_t)y * rowBytes, rowBytes);
  }
  stbi_image_free(pixels);
  return 1;
}
