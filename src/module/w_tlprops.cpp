#include "w_tlprops.h"

#include <taglib/aifffile.h>
#include <taglib/apefile.h>
#include <taglib/asffile.h>
#include <taglib/flacfile.h>
#include <taglib/mp4file.h>
#include <taglib/mpcfile.h>
#include <taglib/mpegfile.h>
#include <taglib/oggflacfile.h>
#include <taglib/opusfile.h>
#include <taglib/speexfile.h>
#include <taglib/trueaudiofile.h>
#include <taglib/vorbisfile.h>
#include <taglib/wavfile.h>
#include <taglib/wavpackfile.h>

namespace w_tl {

namespace {

// The codec, by the kind of file, and the bits per sample where the
// format has them.
const char *
codec_of(TagLib::File *file, unsigned *bits)
{
	*bits = 0;
	if (auto *f = dynamic_cast<TagLib::MPEG::File *>(file)) {
		static const char *const layers[] = {"MPEG", "MP1", "MP2", "MP3"};
		const int layer = f->audioProperties()->layer();
		return layers[layer >= 1 && layer <= 3 ? layer : 0];
	}
	if (auto *f = dynamic_cast<TagLib::MP4::File *>(file)) {
		// An AAC stream names a sample size too, but decodes to none.
		switch (f->audioProperties()->codec()) {
		case TagLib::MP4::Properties::AAC: return "AAC";
		case TagLib::MP4::Properties::ALAC:
			*bits = static_cast<unsigned>(f->audioProperties()->bitsPerSample());
			return "ALAC";
		default: return "MP4";
		}
	}
	if (auto *f = dynamic_cast<TagLib::RIFF::WAV::File *>(file)) {
		*bits = static_cast<unsigned>(f->audioProperties()->bitsPerSample());
		const int format = f->audioProperties()->format();
		return format == 1 ? "PCM" : format == 3 ? "PCM float" : "WAV";
	}
	if (auto *f = dynamic_cast<TagLib::RIFF::AIFF::File *>(file)) {
		*bits = static_cast<unsigned>(f->audioProperties()->bitsPerSample());
		return f->audioProperties()->isAiffC() ? "AIFF-C" : "PCM";
	}
	if (auto *f = dynamic_cast<TagLib::FLAC::File *>(file)) {
		*bits = static_cast<unsigned>(f->audioProperties()->bitsPerSample());
		return "FLAC";
	}
	if (auto *f = dynamic_cast<TagLib::Ogg::FLAC::File *>(file)) {
		*bits = static_cast<unsigned>(f->audioProperties()->bitsPerSample());
		return "FLAC";
	}
	if (auto *f = dynamic_cast<TagLib::ASF::File *>(file)) {
		*bits = static_cast<unsigned>(f->audioProperties()->bitsPerSample());
		switch (f->audioProperties()->codec()) {
		case TagLib::ASF::Properties::WMA1: return "WMA 1";
		case TagLib::ASF::Properties::WMA2: return "WMA 2";
		case TagLib::ASF::Properties::WMA9Pro: return "WMA 9 Pro";
		case TagLib::ASF::Properties::WMA9Lossless: return "WMA 9 Lossless";
		default: return "WMA";
		}
	}
	if (auto *f = dynamic_cast<TagLib::APE::File *>(file)) {
		*bits = static_cast<unsigned>(f->audioProperties()->bitsPerSample());
		return "Monkey's Audio";
	}
	if (auto *f = dynamic_cast<TagLib::WavPack::File *>(file)) {
		*bits = static_cast<unsigned>(f->audioProperties()->bitsPerSample());
		return "WavPack";
	}
	if (auto *f = dynamic_cast<TagLib::TrueAudio::File *>(file)) {
		*bits = static_cast<unsigned>(f->audioProperties()->bitsPerSample());
		return "TTA";
	}
	if (dynamic_cast<TagLib::MPC::File *>(file) != nullptr)
		return "Musepack";
	if (dynamic_cast<TagLib::Ogg::Vorbis::File *>(file) != nullptr)
		return "Vorbis";
	if (dynamic_cast<TagLib::Ogg::Opus::File *>(file) != nullptr)
		return "Opus";
	if (dynamic_cast<TagLib::Ogg::Speex::File *>(file) != nullptr)
		return "Speex";
	return "unknown";
}

} // namespace

bool
audio_props(TagLib::File *file, w_tlprops *out)
{
	const TagLib::AudioProperties *ap = file->audioProperties();
	if (ap == nullptr)
		return false;
	unsigned bits = 0;
	out->codec = codec_of(file, &bits);
	out->bits = bits;
	out->millis = static_cast<unsigned long long>(ap->lengthInMilliseconds() > 0 ? ap->lengthInMilliseconds() : 0);
	out->rate = static_cast<unsigned>(ap->sampleRate() > 0 ? ap->sampleRate() : 0);
	out->channels = static_cast<unsigned>(ap->channels() > 0 ? ap->channels() : 0);
	out->kbps = static_cast<unsigned>(ap->bitrate() > 0 ? ap->bitrate() : 0);
	return true;
}

} // namespace w_tl
