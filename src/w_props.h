/*
 * Audio properties: what the `info' action shows of a file, read from its
 * headers (and for Ogg from the last page), never by decoding the audio.
 */
#pragma once

#include "w_contract.h"

#include <cstdint>

struct w_taglist;

struct w_audioprops {
	const char *codec = nullptr;  // "FLAC", "Vorbis", "Opus", "MP3", ...
	std::uint64_t millis = 0;     // duration
	unsigned rate = 0;            // samples per second
	unsigned channels = 0;
	unsigned bits = 0;            // per sample; 0 where the format has none
	unsigned kbps = 0;            // average bit rate, kbit/s; 0: unknown
};

// The properties as a list in the order a document shows them: codec,
// duration (seconds, three decimals), samplerate, channels, bitspersample
// (only where known) and bitrate (kbit/s); null with errno ENOMEM.
struct w_taglist *w_props_tags(const w_audioprops &p);

// The average bit rate in kbit/s of bytes over millis, rounded; 0 when
// either is 0.
unsigned w_props_kbps(std::uint64_t bytes, std::uint64_t millis);
