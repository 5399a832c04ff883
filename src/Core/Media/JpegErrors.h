#pragma once
// How libjpeg's encoder and decoder report here: a failure jumps back to
// the caller's jump point (libjpeg's error_exit must not return); warnings
// (a damaged stretch of data, data cut short) pass silently, as vips's
// loader and saver let them.

#include <csetjmp>
#include <cstdio>

#include <jpeglib.h>

namespace vintrelle::media {

struct JpegErrors {
    jpeg_error_mgr base;
    std::jmp_buf jump;

    // Makes this the error manager of a compress or decompress struct.
    template <typename Codec>
    void attach(Codec& cinfo) {
        cinfo.err = jpeg_std_error(&base);
        base.error_exit = [](j_common_ptr c) { std::longjmp(reinterpret_cast<JpegErrors*>(c->err)->jump, 1); };
        base.output_message = [](j_common_ptr) {};
    }
};

}  // namespace vintrelle::media
