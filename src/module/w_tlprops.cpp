#include "w_tlprops.h"

#include <taglib/aifffile.h>
#include <taglib/asfpicture.h>
#include <taglib/attachedpictureframe.h>
#include <taglib/id3v2tag.h>
#include <taglib/mp4coverart.h>
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

namespace w_tl {

namespace {

std::string
utf8(const TagLib::String &s)
{
	return s.to8Bit(true);
}

std::string
bytes(const TagLib::ByteVector &b)
{
	return std::string(b.data(), b.size());
}

void
id3_pictures(TagLib::ID3v2::Tag *tag, std::vector<picture> &out)
{
	if (tag == nullptr)
		return;
	for (TagLib::ID3v2::Frame *f : tag->frameList()) {
		auto *apic = dynamic_cast<TagLib::ID3v2::AttachedPictureFrame *>(f);
		if (apic == nullptr)
			continue;
		picture p;
		p.type = static_cast<unsigned>(apic->type());
		p.mime = utf8(apic->mimeType());
		p.description = utf8(apic->description());
		p.data = bytes(apic->picture());
		out.push_back(std::move(p));
	}
}

} // namespace

std::vector<picture>
tag_pictures(TagLib::File *file)
{
	std::vector<picture> out;
	if (auto *f = dynamic_cast<TagLib::MPEG::File *>(file)) {
		id3_pictures(f->hasID3v2Tag() ? f->ID3v2Tag() : nullptr, out);
	} else if (auto *f = dynamic_cast<TagLib::RIFF::WAV::File *>(file)) {
		id3_pictures(f->hasID3v2Tag() ? f->ID3v2Tag() : nullptr, out);
	} else if (auto *f = dynamic_cast<TagLib::RIFF::AIFF::File *>(file)) {
		id3_pictures(f->hasID3v2Tag() ? f->tag() : nullptr, out);
	} else if (auto *f = dynamic_cast<TagLib::MP4::File *>(file)) {
		TagLib::MP4::Tag *tag = f->tag();
		if (tag != nullptr && tag->contains("covr")) {
			// An MP4 cover has no picture type: players take it for
			// the front cover.
			for (const TagLib::MP4::CoverArt &c : tag->item("covr").toCoverArtList()) {
				picture p;
				switch (c.format()) {
				case TagLib::MP4::CoverArt::JPEG: p.mime = "image/jpeg"; break;
				case TagLib::MP4::CoverArt::PNG: p.mime = "image/png"; break;
				case TagLib::MP4::CoverArt::GIF: p.mime = "image/gif"; break;
				case TagLib::MP4::CoverArt::BMP: p.mime = "image/bmp"; break;
				default: break;
				}
				p.data = bytes(c.data());
				out.push_back(std::move(p));
			}
		}
	} else if (auto *f = dynamic_cast<TagLib::ASF::File *>(file)) {
		TagLib::ASF::Tag *tag = f->tag();
		if (tag != nullptr && tag->contains("WM/Picture")) {
			for (const TagLib::ASF::Attribute &a : tag->attribute("WM/Picture")) {
				const TagLib::ASF::Picture pic = a.toPicture();
				if (!pic.isValid())
					continue;
				picture p;
				p.type = static_cast<unsigned>(pic.type());
				p.mime = utf8(pic.mimeType());
				p.description = utf8(pic.description());
				p.data = bytes(pic.picture());
				out.push_back(std::move(p));
			}
		}
	}
	return out;
}

} // namespace w_tl
