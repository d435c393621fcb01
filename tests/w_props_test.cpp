#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <sstream>
#include <string>

#include "w_testsupport.h"

namespace {

using fields = std::map<std::string, std::string>;

// The "- key: value" lines of a one-file YAML document, a quoted value
// unquoted.
fields
document_fields(const std::string &doc)
{
	fields out;
	std::istringstream in(doc);
	for (std::string line; std::getline(in, line);) {
		if (line.rfind("- ", 0) != 0)
			continue;
		const std::size_t colon = line.find(": ");
		std::string value = line.substr(colon + 2);
		if (value.size() >= 2 && value.front() == '\'' && value.back() == '\'')
			value = value.substr(1, value.size() - 2);
		out[line.substr(2, colon - 2)] = value;
	}
	return out;
}

// What ffprobe reads of the first audio stream and the container.
fields
ffprobe(const std::string &path)
{
	wt::run_result r = wt::run({"ffprobe", "-v", "error", "-select_streams", "a:0", "-show_entries",
	    "stream=sample_rate,channels:format=duration", "-of", "default=nw=1", path});
	EXPECT_EQ(r.status, 0) << r.err;
	fields out;
	std::istringstream in(r.out);
	for (std::string line; std::getline(in, line);) {
		const std::size_t eq = line.find('=');
		if (eq != std::string::npos)
			out[line.substr(0, eq)] = line.substr(eq + 1);
	}
	return out;
}

} // namespace

// The properties come from the headers (and the last Ogg page): each file,
// made by a real encoder from the same 2.5 s of stereo tone, agrees with
// ffprobe, which decodes the container itself.
TEST(Info, AgreesWithFfprobeOnEveryFormat)
{
	wt::tmpdir dir;
	const std::string wav = dir / "tone.wav";
	ASSERT_EQ(wt::run({"ffmpeg", "-v", "error", "-f", "lavfi", "-i", "sine=frequency=440:duration=2.5", "-ac",
			      "2", wav})
		      .status,
	    0);
	const struct {
		const char *name;
		std::vector<std::string> make; // FILE stands for the new file
		const char *codec, *bits;
		double slack; // seconds the duration may differ from ffprobe's
	} cases[] = {
	    {"a.flac", {"flac", "-s", wav, "-o", "FILE"}, "FLAC", "16", 0.0005},
	    {"a.ogg", {"oggenc", "-Q", wav, "-o", "FILE"}, "Vorbis", nullptr, 0.0005},
	    // ffprobe counts the pre-skip the decoder drops (312 samples).
	    {"a.opus", {"opusenc", "--quiet", wav, "FILE"}, "Opus", nullptr, 0.0066},
	    // Encoder delay and padding: the headers and ffprobe may differ
	    // by a frame or two.
	    {"a.mp3", {"lame", "--silent", wav, "FILE"}, "MP3", nullptr, 0.06},
	    {"a.m4a", {"ffmpeg", "-v", "error", "-i", wav, "-c:a", "aac", "FILE"}, "AAC", nullptr, 0.06},
	    {"a.wav", {"cp", wav, "FILE"}, "PCM", "16", 0.0005},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		const std::string f = dir / c.name;
		ASSERT_EQ(wt::run_on(c.make, f).status, 0);
		const std::string before = wt::read_file(f);

		wt::run_result r = wt::wembrix({"info", f});
		ASSERT_EQ(r.status, 0) << r.err;
		EXPECT_EQ(r.err, "");
		ASSERT_EQ(r.out.rfind("# " + f + "\n---\n- codec: ", 0), 0u) << r.out;
		fields got = document_fields(r.out), want = ffprobe(f);
		EXPECT_EQ(got["codec"], c.codec);
		EXPECT_EQ(got["samplerate"], want["sample_rate"]);
		EXPECT_EQ(got["channels"], want["channels"]);
		EXPECT_EQ(got.count("bitspersample") != 0, c.bits != nullptr);
		if (c.bits != nullptr) {
			EXPECT_EQ(got["bitspersample"], c.bits);
		}
		// Milliseconds, always three decimals.
		ASSERT_EQ(got["duration"].size(), 5u) << got["duration"];
		EXPECT_NEAR(std::stod(got["duration"]), std::stod(want["duration"]), c.slack);
		EXPECT_GT(std::stoi(got["bitrate"]), 0);
		EXPECT_EQ(wt::read_file(f), before);
	}
}

TEST(Info, JsonDocumentsAndFailures)
{
	wt::tmpdir dir;
	const std::string f = dir / "a.flac", odd = dir / "notes.txt";
	wt::make_flac(f, {"TITLE=T"});
	wt::write_file(odd, "not music\n");

	wt::run_result r = wt::wembrix({"-F", "json", "info", "print", f});
	EXPECT_EQ(r.status, 0) << r.err;
	const std::string head = "{\"file\":\"" + f + "\",\"tags\":[{\"codec\":\"FLAC\"},{\"duration\":\"0.100\"},"
				 "{\"samplerate\":\"44100\"},{\"channels\":\"2\"},{\"bitspersample\":\"16\"},{\"bitrate\":\"";
	EXPECT_EQ(r.out.substr(0, head.size()), head);
	// The tags follow as the next document.
	EXPECT_NE(r.out.find("\"}]}\n{\"file\":\"" + f + "\",\"tags\":[{\"title\":\"T\"}]}\n"), std::string::npos) << r.out;

	r = wt::wembrix({"info", odd, f});
	EXPECT_EQ(r.status, 1);
	EXPECT_NE(r.err.find("notes.txt"), std::string::npos) << r.err;
	EXPECT_NE(r.out.find("- codec: FLAC"), std::string::npos) << r.out;
}
