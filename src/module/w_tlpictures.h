/*
 * Picture writes through TagLib: the APIC frames of an ID3v2 tag (MP3, WAV,
 * AIFF) and the covr item of an MP4 file, rendered into a plan and proven
 * like every other write of the module.
 */
#pragma once

#include <cstddef>

#include <taglib/tfile.h>

#include "w_tlmodule.h"
#include "w_tlstream.h"

namespace w_tl {

// As the render_pictures operation of struct w_tlmodule, for an open TagLib
// file over stream.
int pictures_render(TagLib::File *file, plan_stream &stream, const w_tlpicslot *slots, std::size_t count,
    w_tlplan *plan, char *why, std::size_t whylen);

} // namespace w_tl
