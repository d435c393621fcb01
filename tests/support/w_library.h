/* What the round-trip tests share: music files of every format tagged as a
 * MusicBrainz-style tagger tags them (mutagen writes the tags), and what an
 * independent reader (mutagen, without translation) sees in them. */
#pragma once

#include <map>
#include <string>
#include <vector>

namespace rt {

// The kinds of file a library holds.
enum class kind { mp3v23, mp3v24, m4a, wav, flac, vorbis, opus };

const char *extension(kind k);

// count files of kind k in dir, each a copy of one encoded file, tagged
// with the fields of a release (several artists and genres, totals,
// MusicBrainz ids, user-defined names, comments in two languages, cover
// art), told apart by their number.  Their names, relative to dir.
std::vector<std::string> make_library(const std::string &dir, kind k, unsigned count, unsigned first = 0);

// Every frame, item, comment and picture mutagen sees in each file (text
// encodings aside; Vorbis comment names compared as the format compares
// them, without regard to case), one line per file, by file name.  An
// MP3 file's ID3v1 tag and a WAV file's INFO chunk are part of it.
std::map<std::string, std::string> seen(const std::string &dir, const std::vector<std::string> &files);

// The files whose view differs between two calls of seen, with the first
// difference of each; "" when none.
std::string differences(const std::map<std::string, std::string> &before,
    const std::map<std::string, std::string> &after);

// Sets the files' times of change far into the past, so that a write
// cannot pass unnoticed within the same clock tick.
void age(const std::string &dir, const std::vector<std::string> &files);

// Each file's bytes and time of change.
std::map<std::string, std::string> fingerprints(const std::string &dir, const std::vector<std::string> &files);

} // namespace rt
