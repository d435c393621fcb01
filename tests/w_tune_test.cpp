#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <utility>

#include "w_backend.h"
#include "w_fakebackend.h"
#include "w_oggsupport.h"
#include "w_tagsupport.h"
#include "w_testsupport.h"
#include "w_tune.h"

namespace {


} // namespace

TEST(Tune, ReadsOnceAndHandsOutIndependentCopies)
{
	wt::fake_file f;
	f.stored = {{"title", "T"}};
	w_tune_ptr tune(wt::fake_tune(f));

	w_taglist_ptr a(w_tune_tags(tune.get()));
	w_taglist_ptr b(w_tune_tags(tune.get()));
	ASSERT_TRUE(a && b);
	EXPECT_NE(a.get(), b.get());
	EXPECT_EQ(f.reads, 1);
	w_taglist_insert(a.get(), "artist", "A"); // changing a copy changes nothing else
	EXPECT_EQ(b->count, 1u);
	w_taglist_ptr c(w_tune_tags(tune.get()));
	EXPECT_EQ(c->count, 1u);
	EXPECT_EQ(tune->dirty, 0u);
}

TEST(Tune, TagsLentInPlace)
{
	wt::fake_file f;
	f.stored = {{"title", "T"}};
	w_tune_ptr tune(wt::fake_tune(f));

	// Looking lends the cache itself and reads once.
	const w_taglist *seen = w_tune_cached_tags(tune.get());
	ASSERT_NE(seen, nullptr);
	EXPECT_EQ(w_tune_cached_tags(tune.get()), seen);
	EXPECT_EQ(f.reads, 1);
	EXPECT_EQ(tune->dirty, 0u);

	// A change in place counts as a replacement and is what save writes;
	// copies handed out before keep what they had.
	w_taglist_ptr before(w_tune_tags(tune.get()));
	w_taglist *changed = w_tune_change_tags(tune.get());
	ASSERT_EQ(changed, seen);
	EXPECT_EQ(tune->dirty, 1u);
	ASSERT_EQ(w_taglist_insert(changed, "ARTIST", "A"), 0);
	EXPECT_EQ(before->count, 1u);
	w_taglist_ptr after(w_tune_tags(tune.get()));
	EXPECT_EQ(after->count, 2u);
	ASSERT_EQ(w_tune_save(tune.get()), 0);
	EXPECT_EQ(f.stored, (decltype(f.stored){{"title", "T"}, {"artist", "A"}}));
	EXPECT_EQ(f.reads, 1);

	// When the tags cannot be read, neither lends anything nor marks dirt,
	// and the next call reads again.
	wt::fake_file g;
	g.fail_read = true;
	w_tune_ptr bad(wt::fake_tune(g));
	EXPECT_EQ(w_tune_cached_tags(bad.get()), nullptr);
	EXPECT_EQ(w_tune_change_tags(bad.get()), nullptr);
	EXPECT_EQ(bad->dirty, 0u);
	EXPECT_EQ(g.reads, 2);
}

TEST(Tune, FailedReadIsRetried)
{
	wt::fake_file f;
	f.fail_read = true;
	w_tune_ptr tune(wt::fake_tune(f));
	EXPECT_EQ(w_tune_tags(tune.get()), nullptr);
	f.fail_read = false;
	w_taglist_ptr l(w_tune_tags(tune.get()));
	EXPECT_NE(l, nullptr);
	EXPECT_EQ(f.reads, 2);
}

TEST(Tune, SaveWritesOnlyWhenDirty)
{
	wt::fake_file f;
	f.stored = {{"title", "T"}};
	w_tune_ptr tune(wt::fake_tune(f));

	EXPECT_EQ(w_tune_save(tune.get()), 0);
	EXPECT_EQ(f.writes, 0);

	// An unchanged copy still counts as a replacement.
	w_taglist_ptr same(w_tune_tags(tune.get()));
	EXPECT_EQ(w_tune_set_tags(tune.get(), same.get()), 0);
	EXPECT_EQ(w_tune_set_tags(tune.get(), same.get()), 0);
	EXPECT_EQ(tune->dirty, 2u);
	// The cached list itself is no replacement.
	EXPECT_EQ(w_tune_set_tags(tune.get(), tune->tlist), 0);
	EXPECT_EQ(tune->dirty, 2u);

	EXPECT_EQ(w_tune_save(tune.get()), 0);
	EXPECT_EQ(f.writes, 1);
	EXPECT_EQ(tune->dirty, 0u);
	EXPECT_EQ(w_tune_save(tune.get()), 0);
	EXPECT_EQ(f.writes, 1);
}

TEST(Tune, FailedWriteKeepsTheTuneDirty)
{
	wt::fake_file f;
	w_tune_ptr tune(wt::fake_tune(f));
	w_taglist_ptr l(w_taglist_new());
	w_taglist_insert(l.get(), "a", "1");
	ASSERT_EQ(w_tune_set_tags(tune.get(), l.get()), 0);

	f.fail_write = true;
	EXPECT_EQ(w_tune_save(tune.get()), -1);
	EXPECT_EQ(tune->dirty, 1u);
	f.fail_write = false;
	EXPECT_EQ(w_tune_save(tune.get()), 0);
	EXPECT_EQ(f.writes, 2);
	EXPECT_EQ(f.stored, (decltype(f.stored){{"a", "1"}}));
}

TEST(Tune, DestroyWritesNothingAndClearsOnce)
{
	wt::fake_file f;
	w_tune *tune = wt::fake_tune(f);
	w_taglist_ptr l(w_taglist_new());
	w_tune_set_tags(tune, l.get());
	w_tune_destroy(tune);
	EXPECT_EQ(f.writes, 0);
	EXPECT_EQ(f.clears, 1);
	w_tune_destroy(nullptr);
}

TEST(Tune, ReloadReopensAndRereads)
{
	wt::tmpdir dir;
	std::string a = dir / "a.flac", b = dir / "b.flac";
	wt::make_flac(a, {"TITLE=one"});
	wt::make_flac(b, {"TITLE=two"});

	w_tune_ptr tune(w_tune_new(a.c_str()));
	ASSERT_NE(tune, nullptr);
	w_taglist_ptr before(w_tune_tags(tune.get()));
	w_taglist_ptr pending(w_taglist_new());
	w_tune_set_tags(tune.get(), pending.get());

	ASSERT_EQ(w__tune_reload__(tune.get(), b.c_str()), 0);
	EXPECT_STREQ(w_tune_path(tune.get()), b.c_str());
	EXPECT_EQ(tune->dirty, 0u); // unsaved replacements are dropped
	w_taglist_ptr after(w_tune_tags(tune.get()));
	ASSERT_EQ(after->count, 1u);
	EXPECT_STREQ(w_taglist_first(after.get())->val, "two");
	EXPECT_EQ(wt::metaflac_tags(a), (std::vector<std::string>{"TITLE=one"}));

	// Towards a file that nothing opens, the tune is left empty.
	std::string text = dir / "notes.txt";
	wt::write_file(text, "not music\n");
	EXPECT_EQ(w__tune_reload__(tune.get(), text.c_str()), -1);
	EXPECT_EQ(tune->backend, nullptr);
	EXPECT_EQ(tune->path, nullptr);
}

TEST(Tune, NoBackendOpensATextFile)
{
	wt::tmpdir dir;
	wt::write_file(dir / "notes.txt", "hello\n");
	EXPECT_EQ(w_tune_new((dir / "notes.txt").c_str()), nullptr);
}

/*
 * The backends of one probe share the first bytes of the file, and a
 * backend that needs more reads on from where they end.  Files whose
 * headers end just before, at and after that point, files shorter than it,
 * and a stream that only begins beyond it, behind bytes that are no page
 * (which readers skip), all come back whole.
 */
TEST(Tune, ProbeReadsOnWhereTheSharedBytesEnd)
{
	const std::size_t kept = w_backend_probe_size;
	struct ogg_case {
		const char *name;
		std::string bytes;
		std::string value; // of the one comment the test added
		const char *libid;
	};
	std::vector<ogg_case> cases;
	// The Vorbis setup header shares the comment header's page, so a long
	// comment moves the end of that page across the kept bytes.
	const std::size_t sizes[] = {10, kept / 2, kept - 700, kept - 100, kept, kept + 100, 3 * kept,
	    70000};
	for (std::size_t n : sizes) {
		std::string v(n, 'v');
		cases.push_back({"Vorbis", wt::vorbis_bytes({"TITLE=" + v}), v, "libvorbis"});
		cases.push_back({"Opus", wt::opus_bytes({"TITLE=" + v}), v, "libogg"});
	}
	// A short Opus file, shorter than the bytes a probe keeps.
	wt::opus_options tiny;
	tiny.samples = 160;
	cases.push_back({"short Opus", wt::opus_bytes({"TITLE=t"}, tiny), "t", "libogg"});
	EXPECT_LT(cases.back().bytes.size(), kept);
	// Bytes that are no page in front of the stream.
	cases.push_back({"Vorbis behind 5000 stray bytes",
	    std::string(5000, 'j') + wt::vorbis_bytes({"TITLE=s"}), "s", "libvorbis"});
	cases.push_back({"Opus behind 5000 stray bytes",
	    std::string(5000, 'j') + wt::opus_bytes({"TITLE=s"}), "s", "libogg"});

	wt::tmpdir dir;
	for (const auto &c : cases) {
		SCOPED_TRACE(std::string(c.name) + ", " + std::to_string(c.value.size()) +
		    " bytes of comment, file of " + std::to_string(c.bytes.size()));
		const std::string path = dir / "f.ogg";
		wt::write_file(path, c.bytes);
		w_tune_ptr tune(w_tune_new(path.c_str()));
		ASSERT_NE(tune, nullptr);
		EXPECT_STREQ(w_tune_backend(tune.get())->libid, c.libid);
		w_taglist_ptr tags(w_tune_tags(tune.get()));
		ASSERT_NE(tags, nullptr);
		// The encoder adds comments of its own; the title is the one
		// that crosses the boundary.
		std::size_t titles = 0;
		for (const auto &[key, value] : wt::to_tags(tags.get()))
			if (key == "title") {
				titles++;
				EXPECT_TRUE(value == c.value) << "title of " << value.size() << " bytes";
			}
		EXPECT_EQ(titles, 1u);
	}
}

// Every file a run fails is said, naming it: among them files that plainly
// are of a backend's format but cannot be opened, and anything that is no
// regular file, which is refused before any backend opens it (a FIFO with
// no writer would hang the run).
TEST(Tune, EveryRefusedFileIsSaid)
{
	wt::tmpdir dir;
	std::string vorbis = wt::vorbis_bytes({"TITLE=T"});
	vorbis[5] = 0; // the first page begins no stream
	wt::ogg_fix_checksum(vorbis, 0);
	wt::write_file(dir / "a.ogg", vorbis);
	std::string opus = wt::opus_bytes({"TITLE=T"});
	opus[5] = 0;
	wt::ogg_fix_checksum(opus, 0);
	wt::write_file(dir / "a.opus", opus.substr(0, wt::ogg_pages(opus)[1].offset));
	ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0644), 0);
	const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
	struct sockaddr_un addr {};
	addr.sun_family = AF_UNIX;
	std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", (dir / "socket").c_str());
	ASSERT_EQ(bind(sock, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr), 0);
	const std::pair<std::string, std::string> files[] = {
	    {dir / "a.ogg", "first page lacks the begin-of-stream flag"},
	    {dir / "a.opus", "first page lacks the begin-of-stream flag"},
	    {dir / "fifo", "not a regular file"},
	    {dir / "socket", "not a regular file"},
	    {"/dev/null", "not a regular file"},
	    {dir.path(), "Is a directory"},
	};
	for (const auto &[path, said] : files) {
		for (const char *action : {"backend", "print", "set:title=x"}) {
			SCOPED_TRACE(path + " " + action);
			const wt::run_result r = wt::run({"timeout", "60", WEMBRIX_BIN, action, path});
			EXPECT_EQ(r.status, 1);
			EXPECT_EQ(r.out, "");
			EXPECT_EQ(r.err, "wembrix: " + path + ": " + said + "\n");
		}
	}
	close(sock);
}

TEST(BackendRegistry, OrderedAndBuiltOnce)
{
	std::vector<std::string> ids;
	struct w_backend *b;
	TAILQ_FOREACH(b, w_all_backends(), entries)
		ids.push_back(b->libid);
	EXPECT_EQ(ids, (std::vector<std::string>{"libFLAC", "libvorbis", "libogg", "TagLib"}));
	EXPECT_EQ(w_all_backends(), w_all_backends());
	std::size_t n = 0;
	TAILQ_FOREACH(b, w_all_backends(), entries)
		n++;
	EXPECT_EQ(n, 4u);
}

TEST(Contract, BreachesStopWithTheSourceFileNamed)
{
	// Assertions stay on in every build and name the module, not a path
	// of the machine that built it.
	EXPECT_DEATH(w_tune_tags(nullptr), "^[^/]*src/w_tune\\.cpp:[0-9]+: .*tune != NULL");
	wt::fake_file f;
	w_tune *tune = wt::fake_tune(f);
	EXPECT_DEATH(
	    {
		    tune->backend = TAILQ_FIRST(w_all_backends()); // libFLAC with foreign data
		    w_tune_tags(tune);
	    },
	    "src/w_ftflac\\.cpp:[0-9]+: .*data->libid == libid");
	w_tune_destroy(tune);
}
