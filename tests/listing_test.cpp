// Reading what yt-dlp lists, on lines Debian's yt-dlp printed for a local
// page and on the shape of YouTube's flat search results (the real tool's
// listing run is in download_real_test).
#include "support/TestSupport.h"
#include "download/Listing.h"

#include <limits>

#include <gtest/gtest.h>

using download::ListedEntry;

TEST(ListedEntries, PrintedLinesBecomeEntriesAndEverythingElseStaysOut)
{
    // yt-dlp 2023.03.04 on a page with two <audio> elements whose title holds
    // quotes, a "|" and an "é" (written as \u00e9).
    const auto generic = download::parseListedEntry(
        R"j({"id": "odd-1", "title": "Caf\u00e9 \"Live\" | 1/2 (1)", "url": "http://127.0.0.1:8765/a.m4a", )j"
        R"j("webpage_url": "http://127.0.0.1:8765/odd.html"})j");
    ASSERT_TRUE(generic.has_value());
    EXPECT_EQ(*generic, (ListedEntry{"odd-1", QString::fromUtf8("Caf\u00e9 \"Live\" | 1/2 (1)"), {},
                                     "http://127.0.0.1:8765/a.m4a", std::nullopt}));

    // A YouTube search result as its flat entry reads: a duration in seconds, the channel.
    const auto youtube = download::parseListedEntry(
        R"j({"id": "vmDDOFXSgAs", "title": "Take Five\tLive\n1966", "channel": "The Dave Brubeck Quartet", )j"
        R"j("duration": 345.0, "url": "https://www.youtube.com/watch?v=vmDDOFXSgAs"})j");
    ASSERT_TRUE(youtube.has_value());
    EXPECT_EQ(youtube->title, "Take Five\tLive\n1966");
    EXPECT_EQ(youtube->channel, "The Dave Brubeck Quartet");
    EXPECT_EQ(youtube->duration, 345.0);
    EXPECT_EQ(youtube->url, "https://www.youtube.com/watch?v=vmDDOFXSgAs");

    // Without a channel the uploader; without a url the page; without either nothing to download.
    const auto other =
        download::parseListedEntry(R"j({"id": 42, "uploader": "Someone", "webpage_url": "https://example.com/42"})j");
    ASSERT_TRUE(other.has_value());
    EXPECT_EQ(other->id, "42");
    EXPECT_EQ(other->channel, "Someone");
    EXPECT_EQ(other->url, "https://example.com/42");
    for (const QString& line :
         {QString(R"j({"id": "x", "title": "no link"})j"), QString("WARNING: [generic] Falling back on generic information extractor"),
          QString("ERROR: Unable to download API page"), QString("{not json"), QString(R"j(["a"])j"), QString()})
        EXPECT_FALSE(download::parseListedEntry(line).has_value()) << line.toStdString();
}

TEST(ListedEntries, LabelsLeaveOutWhatIsMissing)
{
    ListedEntry entry{"id1", "Take Five", "Dave Brubeck", "https://youtu.be/id1", 225};
    EXPECT_EQ(download::entryLabel(entry), QString::fromUtf8("Take Five \u2014 Dave Brubeck (3:45)"));
    entry.duration = 3723.6;  // rounded, with hours
    EXPECT_EQ(download::entryLabel(entry), QString::fromUtf8("Take Five \u2014 Dave Brubeck (1:02:04)"));
    entry.channel.clear();
    entry.duration = 59.5;
    EXPECT_EQ(download::entryLabel(entry), "Take Five (1:00)");
    entry.duration.reset();
    EXPECT_EQ(download::entryLabel(entry), "Take Five");
    entry.title.clear();
    entry.channel = "Dave Brubeck";
    EXPECT_EQ(download::entryLabel(entry), QString::fromUtf8("id1 \u2014 Dave Brubeck"));
    EXPECT_EQ(download::durationText(-1), "");
    EXPECT_EQ(download::durationText(std::numeric_limits<double>::quiet_NaN()), "");
    EXPECT_EQ(download::durationText(5), "0:05");
}

TEST(ListedEntries, OnlyAPlaylistPageIsListedWithoutADownloadFirst)
{
    EXPECT_TRUE(download::namesPlaylistOnly("https://www.youtube.com/playlist?list=PLx1"));
    EXPECT_TRUE(download::namesPlaylistOnly("https://music.youtube.com/playlist?list=PLx1&si=a"));
    EXPECT_FALSE(download::namesPlaylistOnly("https://www.youtube.com/watch?v=abc&list=PLx1"));
    EXPECT_FALSE(download::namesPlaylistOnly("https://www.youtube.com/playlist?v=abc&list=PLx1"));
    EXPECT_FALSE(download::namesPlaylistOnly("https://www.youtube.com/playlist"));
    EXPECT_FALSE(download::namesPlaylistOnly("https://example.com/playlist?list=PLx1"));
    EXPECT_FALSE(download::namesPlaylistOnly("https://notyoutube.com/playlist?list=PLx1"));

    EXPECT_TRUE(download::isYtDlpSearch("ytsearch3:foo"));
    EXPECT_TRUE(download::isYtDlpSearch("scsearch:foo"));
    EXPECT_TRUE(download::isYtDlpSearch("ytsearchdate10:foo"));
    EXPECT_FALSE(download::isYtDlpSearch("research: foo"));
    EXPECT_FALSE(download::isYtDlpSearch("ytsearch foo"));
    EXPECT_EQ(download::searchTarget("  take five "), "ytsearch5:take five");
}
