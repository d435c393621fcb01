/* What the tests share: scratch directories, running the built program and
 * other tools, and real music files generated on the spot. */
#pragma once

#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace wt {

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it.
class tmpdir {
public:
	tmpdir();
	~tmpdir();
	tmpdir(const tmpdir &) = delete;
	tmpdir &operator=(const tmpdir &) = delete;
	const std::string &path() const { return path_; }
	std::string operator/(const std::string &name) const { return path_ + "/" + name; }
	// The names in the directory, sorted, without "." and "..".
	std::vector<std::string> list() const;

private:
	std::string path_;
};

struct run_result {
	int status = -1; // exit status, or 128 + signal
	std::string out;
	std::string err;
};

struct run_options {
	std::optional<std::string> input;              // stdin; /dev/null when unset
	std::map<std::string, std::optional<std::string>> env; // nullopt unsets
	std::string cwd;                               // "" keeps the current one
};

// Runs argv[0] with argv (searched in PATH) and collects its output.
run_result run(const std::vector<std::string> &argv, const run_options &opt = {});
// Runs argv with each word "FILE" replaced by path (an encoder's command
// line, say).
run_result run_on(std::vector<std::string> argv, const std::string &path);
// Runs the built wembrix with args.
run_result wembrix(const std::vector<std::string> &args, const run_options &opt = {});

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &data);
bool exists(const std::string &path);

using tags = std::vector<std::pair<std::string, std::string>>;

struct flac_options {
	bool comment_block = true;  // write a Vorbis comment block at all
	unsigned padding = 4096;    // bytes of padding (0: no padding block)
	unsigned samples = 4410;    // stereo 16-bit, 44.1 kHz
};

// A real FLAC file encoded with libFLAC, holding comments as given (raw
// NAME=value entries, so that odd entries can be made too).
void make_flac(const std::string &path, const std::vector<std::string> &comments,
    const flac_options &opt = {});
// The file's comments as metaflac reports them, one NAME=value per entry.
std::vector<std::string> metaflac_tags(const std::string &path);

} // namespace wt
