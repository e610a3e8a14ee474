#pragma once
// libheif, loaded when a HEIF image is first read or written rather than
// linked: its start-up code initialises the HEVC decoder's tables, which
// alone cost a start of the host more than the rest of its own work.
// `HEIFInitialiseOnce` loads it; the codec calls it through `Heif()`.

#include <libheif/heif.h>

#define QX_HEIF_FUNCTIONS(X)                          \
  X(heif_context_add_exif_metadata)                   \
  X(heif_context_alloc)                               \
  X(heif_context_encode_image)                        \
  X(heif_context_free)                                \
  X(heif_context_get_encoder_for_format)              \
  X(heif_context_get_image_handle)                    \
  X(heif_context_get_list_of_top_level_image_IDs)     \
  X(heif_context_get_number_of_top_level_images)      \
  X(heif_context_get_primary_image_ID)                \
  X(heif_context_read_from_memory_without_copy)       \
  X(heif_context_set_max_decoding_threads)            \
  X(heif_context_set_maximum_image_size_limit)        \
  X(heif_context_write)                               \
  X(heif_decode_image)                                \
  X(heif_decoding_options_alloc)                      \
  X(heif_decoding_options_free)                       \
  X(heif_encoder_release)                             \
  X(heif_encoder_set_lossy_quality)                   \
  X(heif_encoding_options_alloc)                      \
  X(heif_encoding_options_free)                       \
  X(heif_have_decoder_for_format)                     \
  X(heif_have_encoder_for_format)                     \
  X(heif_image_add_plane)                             \
  X(heif_image_create)                                \
  X(heif_image_get_bits_per_pixel_range)              \
  X(heif_image_get_chroma_format)                     \
  X(heif_image_get_colorspace)                        \
  X(heif_image_get_height)                            \
  X(heif_image_get_nclx_color_profile)                \
  X(heif_image_get_plane)                             \
  X(heif_image_get_plane_readonly)                    \
  X(heif_image_get_width)                             \
  X(heif_image_handle_get_height)                     \
  X(heif_image_handle_get_list_of_metadata_block_IDs) \
  X(heif_image_handle_get_luma_bits_per_pixel)        \
  X(heif_image_handle_get_metadata)                   \
  X(heif_image_handle_get_metadata_size)              \
  X(heif_image_handle_get_list_of_thumbnail_IDs)      \
  X(heif_image_handle_get_nclx_color_profile)         \
  X(heif_image_handle_get_number_of_thumbnails)       \
  X(heif_image_handle_get_thumbnail)                  \
  X(heif_image_handle_get_width)                      \
  X(heif_image_handle_has_alpha_channel)              \
  X(heif_image_handle_is_premultiplied_alpha)         \
  X(heif_image_handle_release)                        \
  X(heif_image_release)                               \
  X(heif_init)                                        \
  X(heif_nclx_color_profile_free)

struct HEIFFunctions {
#define QX_HEIF_MEMBER(name) decltype(&::name) name = nullptr;
  QX_HEIF_FUNCTIONS(QX_HEIF_MEMBER)
#undef QX_HEIF_MEMBER
};

// The functions once `HEIFInitialiseOnce` has answered true; calling it
// before is a bug and stops the process.
const HEIFFunctions& Heif();
