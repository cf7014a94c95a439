#include <csetjmp>
#include <cstddef>
#include <cstdint>
#include <cstdio>

// libjpeg's header needs size_t and FILE declared before it.
#include <jpeglib.h>

#include "worker/StripCheck.h"

namespace orfeo {

namespace {

// One stream's decoder. libjpeg ends a failed call through error_exit, which must not return: it jumps
// back to JpegStripDecodes, past libjpeg's own frames only (nothing in between owns anything). Warnings
// (libjpeg's level -1) are noted instead of printed.
struct Decoder {
    jpeg_decompress_struct info;
    jpeg_error_mgr errors;
    std::jmp_buf failed;
    bool warned;
};

[[noreturn]] void Fail(j_common_ptr common) {
    std::longjmp(static_cast<Decoder*>(common->client_data)->failed, 1);
}

void Heard(j_common_ptr common, int level) {
    if (level < 0) static_cast<Decoder*>(common->client_data)->warned = true;
}

void From(Decoder& d, const std::uint8_t* bytes, std::uint64_t count) {
    jpeg_mem_src(&d.info, const_cast<unsigned char*>(bytes), static_cast<unsigned long>(count));
}

// The header read as libtiff reads it, and the stream of the shape libtiff's codec expects of this strip,
// in the one kind this check takes.
bool ExpectedStream(Decoder& d, const std::uint8_t* tables, std::uint64_t tablesCount,
                    const std::uint8_t* bytes, std::uint64_t count, const JpegUnitShape& shape) {
    jpeg_decompress_struct& info = d.info;
    if (tablesCount > 0) {
        From(d, tables, tablesCount);
        if (jpeg_read_header(&info, FALSE) != JPEG_HEADER_TABLES_ONLY) return false;
    }
    From(d, bytes, count);
    if (jpeg_read_header(&info, TRUE) != JPEG_HEADER_OK || d.warned) return false;
    if (info.image_width != shape.width || info.image_height != shape.rows ||
        info.num_components != shape.samples || info.data_precision != 8 || info.arith_code ||
        jpeg_has_multiple_scans(&info))
        return false;
    for (int c = 0; c < info.num_components; ++c) {
        const jpeg_component_info& component = info.comp_info[c];
        if (component.h_samp_factor != (c ? 1 : shape.hSampling) ||
            component.v_samp_factor != (c ? 1 : shape.vSampling))
            return false;
    }
    return true;
}

// Every row of the stream's eighth-size picture read, and the stream ended; its components as stored (no
// colour conversion, as libtiff decodes them).
bool DecodeToEnd(Decoder& d) {
    jpeg_decompress_struct& info = d.info;
    info.jpeg_color_space = JCS_UNKNOWN;
    info.out_color_space = JCS_UNKNOWN;
    info.scale_num = 1;
    info.scale_denom = 8;
    info.do_fancy_upsampling = FALSE;
    if (!jpeg_start_decompress(&info)) return false;
    const JSAMPARRAY rows = (*info.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&info), JPOOL_IMAGE,
                                                      info.output_width * info.output_components,
                                                      static_cast<JDIMENSION>(info.rec_outbuf_height));
    while (info.output_scanline < info.output_height) {
        if (jpeg_read_scanlines(&info, rows, static_cast<JDIMENSION>(info.rec_outbuf_height)) == 0)
            return false;
    }
    return jpeg_finish_decompress(&info) && !d.warned;
}

}  // namespace

bool JpegStripDecodes(const std::uint8_t* tables, std::uint64_t tablesCount, const std::uint8_t* bytes,
                      std::uint64_t count, const JpegUnitShape& shape) {
    if (count == 0 || count > ~0ul || tablesCount > ~0ul) return false;
    Decoder d;
    d.info.err = jpeg_std_error(&d.errors);
    d.errors.error_exit = Fail;
    d.errors.emit_message = Heard;
    d.info.client_data = &d;
    d.warned = false;
    if (setjmp(d.failed)) {
        jpeg_destroy_decompress(&d.info);
        return false;
    }
    jpeg_create_decompress(&d.info);
    const bool decodes = ExpectedStream(d, tables, tablesCount, bytes, count, shape) && DecodeToEnd(d);
    jpeg_destroy_decompress(&d.info);
    return decodes;
}

}  // namespace orfeo
