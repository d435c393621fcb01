#include "w_tagtools.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <fstream>
#include <sstream>

#include "w_testsupport.h"

namespace wt {

const run_options utf8 = {std::nullopt, {{"LC_ALL", "C.UTF-8"}}, ""};

run_result
python(const std::string &script, const std::vector<std::string> &args)
{
	std::vector<std::string> argv = {"/usr/bin/python3", "-c", script};
	argv.insert(argv.end(), args.begin(), args.end());
	run_result r = run(argv);
	EXPECT_EQ(r.status, 0) << "python3: " << r.err;
	return r;
}

namespace {

void
put16(std::string &s, std::uint16_t v)
{
	s.push_back(static_cast<char>(v & 0xff));
	s.push_back(static_cast<char>(v >> 8));
}

void
put32(std::string &s, std::uint32_t v)
{
	put16(s, static_cast<std::uint16_t>(v & 0xffff));
	put16(s, static_cast<std::uint16_t>(v >> 16));
}

} // namespace

void
make_wav(const std::string &path, unsigned samples)
{
	const std::uint32_t rate = 8000;
	const std::uint32_t bytes = samples * 2;
	std::string s = "RIFF";
	put32(s, 36 + bytes);
	s += "WAVEfmt ";
	put32(s, 16);
	put16(s, 1); // PCM
	put16(s, 1); // mono
	put32(s, rate);
	put32(s, rate * 2);
	put16(s, 2);
	put16(s, 16);
	s += "data";
	put32(s, bytes);
	for (unsigned i = 0; i < samples; i++) {
		double v = 8000.0 * std::sin(2.0 * M_PI * 440.0 * i / rate);
		put16(s, static_cast<std::uint16_t>(static_cast<std::int16_t>(v)));
	}
	write_file(path, s);
}

void
make_mp3(const std::string &path, const std::vector<std::string> &lame_options)
{
	const std::string wav = path + ".source.wav";
	make_wav(wav);
	std::vector<std::string> argv = {"lame", "--quiet", "-b", "8", "-m", "m"};
	argv.insert(argv.end(), lame_options.begin(), lame_options.end());
	argv.push_back(wav);
	argv.push_back(path);
	run_result r = run(argv);
	std::remove(wav.c_str());
	ASSERT_EQ(r.status, 0) << "lame failed: " << r.err;
}

void
make_ogg_flac(const std::string &path, const std::vector<std::string> &comments)
{
	const std::string wav = path + ".source.wav";
	make_wav(wav);
	std::vector<std::string> argv = {"flac", "-s", "-f", "--ogg"};
	for (const auto &c : comments) {
		argv.push_back("-T");
		argv.push_back(c);
	}
	argv.insert(argv.end(), {"-o", path, wav});
	run_result r = run(argv);
	std::remove(wav.c_str());
	ASSERT_EQ(r.status, 0) << "flac failed: " << r.err;
}

std::string
riff_chunk(const std::string &path, const std::string &id)
{
	const std::string d = read_file(path);
	auto le32 = [&d](std::size_t at) {
		return static_cast<std::size_t>(static_cast<unsigned char>(d[at])) |
		    static_cast<std::size_t>(static_cast<unsigned char>(d[at + 1])) << 8 |
		    static_cast<std::size_t>(static_cast<unsigned char>(d[at + 2])) << 16 |
		    static_cast<std::size_t>(static_cast<unsigned char>(d[at + 3])) << 24;
	};
	EXPECT_GE(d.size(), 12u);
	if (d.size() < 12 || d.compare(0, 4, "RIFF") != 0 || d.compare(8, 4, "WAVE") != 0) {
		ADD_FAILURE() << path << ": not a RIFF/WAVE file";
		return "";
	}
	EXPECT_EQ(le32(4), d.size() - 8) << path << ": RIFF size";
	std::string found;
	bool have = false;
	for (std::size_t at = 12; at < d.size();) {
		if (at + 8 > d.size()) {
			ADD_FAILURE() << path << ": truncated chunk header at " << at;
			break;
		}
		std::size_t len = le32(at + 4);
		if (at + 8 + len > d.size()) {
			ADD_FAILURE() << path << ": chunk " << d.substr(at, 4) << " overruns the file";
			break;
		}
		if (!have && d.compare(at, 4, id) == 0) {
			found = d.substr(at + 8, len);
			have = true;
		}
		at += 8 + len + (len & 1); // chunks are padded to even sizes
	}
	return found;
}

std::map<std::string, std::string>
exiftool_tags(const std::string &path, const std::vector<std::string> &names)
{
	std::vector<std::string> argv = {"exiftool", "-S", "-charset", "UTF8"};
	for (const auto &n : names)
		argv.push_back("-" + n);
	argv.push_back(path);
	run_result r = run(argv);
	EXPECT_NE(r.status, 127) << "exiftool is missing (Debian: libimage-exiftool-perl)";
	std::map<std::string, std::string> tags;
	std::istringstream ss(r.out);
	for (std::string line; std::getline(ss, line);) {
		auto colon = line.find(": ");
		if (colon != std::string::npos)
			tags[line.substr(0, colon)] = line.substr(colon + 2);
	}
	return tags;
}

} // namespace wt
