/* A stand-in for LibRaw with the same entry points and data layout, built four ways: with
   only two entry points (FAKERAW_PARTIAL), with a developed picture whose data is far shorter
   than its header claims (FAKERAW_SHORTDATA), with a sensor of 108 megapixels
   (FAKERAW_HUGE), and with a sound 4 x 2 red picture. Every file
   "opens"; the facts are fixed. */
#include <libraw/libraw_types.h>
#include <libraw/libraw_version.h>
#include <stdlib.h>
#include <string.h>

int libraw_versionNumber(void) { return LIBRAW_VERSION; }

libraw_data_t *libraw_init(unsigned int flags)
{
    (void)flags;
    libraw_data_t *data = calloc(1, sizeof(libraw_data_t));
    strcpy(data->idata.make, "FakeCam");
    strcpy(data->idata.model, "R1");
    data->other.aperture = 2.8f;
    data->other.focal_len = 35.02f;
    data->other.shutter = 0.5f;
    data->other.iso_speed = 100.0f;
    data->other.timestamp = (time_t)4102444800LL; /* 2100-01-01, past 32 bits */
    data->sizes.flip = 6;
    data->sizes.raw_width = data->sizes.width = 4;
    data->sizes.raw_height = data->sizes.height = 2;
#ifdef FAKERAW_HUGE
    data->sizes.raw_width = data->sizes.width = 12000;
    data->sizes.raw_height = data->sizes.height = 9000;
#endif
    return data;
}

#ifndef FAKERAW_PARTIAL
int libraw_open_file(libraw_data_t *data, const char *path) { (void)data; (void)path; return 0; }
void libraw_close(libraw_data_t *data) { free(data); }
int libraw_unpack_thumb(libraw_data_t *data) { (void)data; return -1; }
int libraw_unpack(libraw_data_t *data) { (void)data; return 0; }
int libraw_dcraw_process(libraw_data_t *data) { (void)data; return 0; }
libraw_processed_image_t *libraw_dcraw_make_mem_thumb(libraw_data_t *data, int *error)
{
    (void)data;
    *error = -1;
    return NULL;
}
libraw_processed_image_t *libraw_dcraw_make_mem_image(libraw_data_t *data, int *error)
{
    (void)data;
    const unsigned int bytes = 4 * 2 * 3;
    libraw_processed_image_t *image = calloc(1, sizeof(libraw_processed_image_t) + bytes);
    image->type = LIBRAW_IMAGE_BITMAP;
    image->width = 4;
    image->height = 2;
    image->colors = 3;
    image->bits = 8;
    image->data_size = bytes;
#ifdef FAKERAW_SHORTDATA
    image->width = 4000;
    image->height = 3000;
#endif
    for (unsigned int i = 0; i < bytes; i += 3)
        image->data[i] = 255;
    *error = 0;
    return image;
}
void libraw_dcraw_clear_mem(libraw_processed_image_t *image) { free(image); }
#endif
