/* Music files for the TagLib backend made by real tools (lame, flac), and what
 * independent readers (exiftool, id3v2) see in them. */
#pragma once

#include <map>
#include <string>
#include <vector>

#include "w_testsupport.h"

namespace wt {

// The environment of a run in a UTF-8 locale.
extern const run_options utf8;

// Runs a Python 3 script (mutagen is the independent reader and writer of
// the TagLib tests) with args; a status other than 0 fails the test.
run_result python(const std::string &script, const std::vector<std::string> &args);

// A short mono 16-bit PCM WAV file (a sine tone), written directly.
void make_wav(const std::string &path, unsigned samples = 4000);
// A short MP3 encoded by lame; extra lame options (such as --tt TITLE
// --id3v2-only) put tags in it.
void make_mp3(const std::string &path, const std::vector<std::string> &lame_options = {});
// A short Ogg FLAC file encoded by flac, with comments given as NAME=value.
// Neither the FLAC nor the Ogg/Vorbis backend takes this kind of file.
void make_ogg_flac(const std::string &path, const std::vector<std::string> &comments = {});
// The payload of the first RIFF chunk with the given id ("" when none); the
// chunk walk fails the test if the RIFF structure is broken.
std::string riff_chunk(const std::string &path, const std::string &id);
// exiftool's short-name view of the file: tag name to value, for the names
// asked for (e.g. "Title", "Year"); a name the file lacks is absent.
std::map<std::string, std::string> exiftool_tags(const std::string &path,
    const std::vector<std::string> &names);

} // namespace wt
