#include "w_testsupport.h"

#include <gtest/gtest.h>

#include "w_tagsupport.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <signal.h>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

#include <FLAC/metadata.h>
#include <FLAC/stream_encoder.h>

namespace wt {

tmpdir::tmpdir()
{
	const char *base = std::getenv("TMPDIR");
	std::string tmpl = std::string(base != nullptr && *base != '\0' ? base : "/tmp") +
	    "/wembrix-test-XXXXXX";
	if (mkdtemp(tmpl.data()) == nullptr)
		throw std::runtime_error("mkdtemp failed");
	path_ = tmpl;
}

tmpdir::~tmpdir()
{
	std::error_code ec;
	std::filesystem::remove_all(path_, ec);
}

std::vector<std::string>
tmpdir::list() const
{
	std::vector<std::string> names;
	for (const auto &e : std::filesystem::directory_iterator(path_))
		names.push_back(e.path().filename().string());
	std::sort(names.begin(), names.end());
	return names;
}

run_result
run(const std::vector<std::string> &argv, const run_options &opt)
{
	int in[2], out[2], errp[2];
	if (pipe(in) == -1 || pipe(out) == -1 || pipe(errp) == -1)
		throw std::runtime_error("pipe failed");
	pid_t pid = fork();
	if (pid == -1)
		throw std::runtime_error("fork failed");
	if (pid == 0) {
		if (opt.input) {
			dup2(in[0], 0);
		} else {
			int null = open("/dev/null", O_RDONLY);
			dup2(null, 0);
		}
		dup2(out[1], 1);
		dup2(errp[1], 2);
		for (int fd : {in[0], in[1], out[0], out[1], errp[0], errp[1]})
			close(fd);
		for (const auto &[k, v] : opt.env) {
			if (v)
				setenv(k.c_str(), v->c_str(), 1);
			else
				unsetenv(k.c_str());
		}
		if (!opt.cwd.empty() && chdir(opt.cwd.c_str()) == -1)
			_exit(127);
		std::vector<char *> args;
		for (const auto &a : argv)
			args.push_back(const_cast<char *>(a.c_str()));
		args.push_back(nullptr);
		execvp(args[0], args.data());
		_exit(127);
	}
	close(in[0]);
	close(out[1]);
	close(errp[1]);

	// Feed stdin and drain both outputs together so that no pipe fills up.
	signal(SIGPIPE, SIG_IGN);
	std::string input = opt.input.value_or("");
	std::size_t fed = 0;
	if (input.empty())
		close(in[1]), in[1] = -1;
	run_result r;
	bool out_open = true, err_open = true;
	while (out_open || err_open) {
		pollfd fds[3] = {{out[0], POLLIN, 0}, {errp[0], POLLIN, 0}, {in[1], POLLOUT, 0}};
		fds[0].fd = out_open ? out[0] : -1;
		fds[1].fd = err_open ? errp[0] : -1;
		if (poll(fds, 3, -1) == -1) {
			if (errno == EINTR)
				continue;
			break;
		}
		char buf[65536];
		for (int i = 0; i < 2; i++) {
			if (fds[i].revents == 0)
				continue;
			ssize_t n = read(fds[i].fd, buf, sizeof buf);
			if (n <= 0) {
				(i == 0 ? out_open : err_open) = false;
				continue;
			}
			(i == 0 ? r.out : r.err).append(buf, static_cast<std::size_t>(n));
		}
		if (in[1] != -1 && fds[2].revents != 0) {
			ssize_t n = write(in[1], input.data() + fed, input.size() - fed);
			if (n > 0)
				fed += static_cast<std::size_t>(n);
			if (n <= 0 || fed == input.size())
				close(in[1]), in[1] = -1;
		}
	}
	if (in[1] != -1)
		close(in[1]);
	close(out[0]);
	close(errp[0]);
	int status = 0;
	while (waitpid(pid, &status, 0) == -1 && errno == EINTR)
		;
	r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
	return r;
}

run_result
wembrix(const std::vector<std::string> &args, const run_options &opt)
{
	// Our own reading of an MP3 file's fields must agree with TagLib's on
	// every file the program is run on.
	for (const std::string &a : args) {
		if (!a.empty() && a[0] != '-')
			expect_mp3_read_alike(a[0] == '/' || opt.cwd.empty() ? a : opt.cwd + "/" + a);
	}
	std::vector<std::string> argv{WEMBRIX_BIN};
	argv.insert(argv.end(), args.begin(), args.end());
	return run(argv, opt);
}

std::string
read_file(const std::string &path)
{
	std::ifstream in(path, std::ios::binary);
	std::ostringstream ss;
	ss << in.rdbuf();
	return ss.str();
}

void
write_file(const std::string &path, const std::string &data)
{
	std::ofstream out(path, std::ios::binary | std::ios::trunc);
	out << data;
}

bool
exists(const std::string &path)
{
	struct stat st;
	return lstat(path.c_str(), &st) == 0;
}

void
make_flac(const std::string &path, const std::vector<std::string> &comments,
    const flac_options &opt)
{
	FLAC__StreamEncoder *enc = FLAC__stream_encoder_new();
	ASSERT_NE(enc, nullptr);
	FLAC__stream_encoder_set_channels(enc, 2);
	FLAC__stream_encoder_set_bits_per_sample(enc, 16);
	FLAC__stream_encoder_set_sample_rate(enc, 44100);
	FLAC__stream_encoder_set_total_samples_estimate(enc, opt.samples);

	std::vector<FLAC__StreamMetadata *> blocks;
	if (opt.comment_block) {
		FLAC__StreamMetadata *vc = FLAC__metadata_object_new(FLAC__METADATA_TYPE_VORBIS_COMMENT);
		// Entries go in as raw bytes, bypassing libFLAC's checks, so that
		// tests can also make files with entries it would refuse.
		ASSERT_TRUE(FLAC__metadata_object_vorbiscomment_resize_comments(vc,
		    static_cast<unsigned>(comments.size())));
		unsigned length = 8 + vc->data.vorbis_comment.vendor_string.length;
		for (std::size_t i = 0; i < comments.size(); i++) {
			auto &e = vc->data.vorbis_comment.comments[i];
			e.length = static_cast<FLAC__uint32>(comments[i].size());
			std::free(e.entry);
			e.entry = static_cast<FLAC__byte *>(std::malloc(comments[i].size() + 1));
			std::memcpy(e.entry, comments[i].c_str(), comments[i].size() + 1);
			length += 4 + e.length;
		}
		vc->length = length;
		blocks.push_back(vc);
	}
	if (opt.padding > 0) {
		FLAC__StreamMetadata *pad = FLAC__metadata_object_new(FLAC__METADATA_TYPE_PADDING);
		pad->length = opt.padding;
		blocks.push_back(pad);
	}
	if (!blocks.empty())
		FLAC__stream_encoder_set_metadata(enc, blocks.data(),
		    static_cast<unsigned>(blocks.size()));
	ASSERT_EQ(FLAC__stream_encoder_init_file(enc, path.c_str(), nullptr, nullptr),
	    FLAC__STREAM_ENCODER_INIT_STATUS_OK);
	std::vector<FLAC__int32> pcm(2 * opt.samples);
	for (unsigned i = 0; i < opt.samples; i++) {
		pcm[2 * i] = static_cast<FLAC__int32>(8000 * std::sin(i * 0.0627));
		pcm[2 * i + 1] = static_cast<FLAC__int32>(6000 * std::sin(i * 0.0313));
	}
	ASSERT_TRUE(FLAC__stream_encoder_process_interleaved(enc, pcm.data(), opt.samples));
	ASSERT_TRUE(FLAC__stream_encoder_finish(enc));
	FLAC__stream_encoder_delete(enc);
	for (auto *b : blocks)
		FLAC__metadata_object_delete(b);
}

std::vector<std::string>
metaflac_tags(const std::string &path)
{
	run_result r = run({"metaflac", "--export-tags-to=-", path});
	EXPECT_EQ(r.status, 0) << r.err;
	std::vector<std::string> lines;
	std::istringstream ss(r.out);
	for (std::string line; std::getline(ss, line);)
		lines.push_back(line);
	return lines;
}

} // namespace wt

namespace wt {

run_result
run_on(std::vector<std::string> argv, const std::string &path)
{
	for (std::string &a : argv) {
		if (a == "FILE")
			a = path;
	}
	return run(argv);
}

} // namespace wt
