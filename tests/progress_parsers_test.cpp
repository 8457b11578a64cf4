// Progress read from the tools' own output. The lines are real output: yt-dlp
// 2023.03.04 fetching from a local server (a whole file, and an HLS stream in
// fragments), pip's raw progress bar, Demucs's tqdm bar.
#include "demucs/DemucsContract.h"
#include "download/DownloadOutput.h"
#include "separation/SeparationProgress.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <limits>

using separation::SeparationStage;

TEST(DownloadProgress, PercentOfProgressLinesOnly)
{
    // A whole file; the first lines come before the speed is known.
    EXPECT_EQ(download::progressPercent(u"[download]   0.1% of  959.80KiB at  Unknown B/s ETA Unknown"), 0.1);
    EXPECT_EQ(download::progressPercent(u"[download]  13.2% of  959.80KiB at  299.29KiB/s ETA 00:02"), 13.2);
    EXPECT_EQ(download::progressPercent(u"[download] 100.0% of  959.80KiB at  299.90KiB/s ETA 00:00"), 100.0);
    EXPECT_EQ(download::progressPercent(u"[download] 100% of  959.80KiB in 00:00:03 at 299.38KiB/s"), 100.0);
    // Fragments, with an estimated size.
    EXPECT_EQ(download::progressPercent(u"[download]   0.3% of ~ 369.57KiB at  214.42KiB/s ETA 00:01 (frag 0/11)"),
              0.3);
    EXPECT_EQ(download::progressPercent(u"[download]  42.3% of ~   3.47MiB at    1.30MiB/s ETA 00:01 (frag 3/10)"),
              42.3);
    EXPECT_EQ(download::progressPercent(u"[download] 100.0% of ~ 345.52KiB at  196.43KiB/s ETA 00:00 (frag 11/11)"),
              100.0);
    EXPECT_EQ(download::progressPercent(u"[download] 100% of  345.52KiB in 00:00:00 at 1.92MiB/s"), 100.0);

    for (const char16_t* line : {u"[download] Destination: /music/50% Off [abc].m4a",
                                 u"[youtube] abc: Downloading webpage",
                                 u"[generic] stream: Downloading m3u8 information",
                                 u"[hlsnative] Total fragments: 11",
                                 u"[info] clip: Downloading 1 format(s): fmp4",
                                 u"/music/100% Pure [abc].m4a",
                                 u"[FixupM3u8] Fixing MPEG-TS in MP4 container of \"out/stream [stream].mp4\"",
                                 u"[download]", u""})
        EXPECT_FALSE(download::progressPercent(line).has_value()) << QString::fromUtf16(line).toStdString();
}

TEST(InstallProgress, PipRawProgressLines)
{
    EXPECT_EQ(demucs::pipProgressPercent(u"Progress 0 of 1234"), 0);
    EXPECT_EQ(demucs::pipProgressPercent(u"Progress 617 of 1234"), 50);
    EXPECT_EQ(demucs::pipProgressPercent(u"Progress 1233 of 1234"), 99);  // not rounded up to done
    EXPECT_EQ(demucs::pipProgressPercent(u"Progress 1234 of 1234"), 100);
    // A multi-gigabyte wheel does not overflow.
    EXPECT_EQ(demucs::pipProgressPercent(u"Progress 2147483648 of 4294967296"), 50);

    for (const char16_t* line : {u"Progress 5 of 0", u"Progress 12 of", u"Progress of 1234", u"Progress -3 of 10",
                                 u"Progress x of 10", u"Collecting torch==2.3.1",
                                 u"Downloading torch-2.3.1-cp312-cp312-manylinux1_x86_64.whl (779.1 MB)",
                                 u"Installing collected packages: demucs", u""})
        EXPECT_FALSE(demucs::pipProgressPercent(line).has_value()) << QString::fromUtf16(line).toStdString();
}

TEST(SeparationProgress, DemucsBarLines)
{
    // As written (the bar is redrawn after a carriage return) and as trimmed log lines.
    EXPECT_EQ(separation::demucsBarPercent(u"  0%|          | 0.0/5.85 [00:00<?, ?seconds/s]"), 0);
    EXPECT_EQ(separation::demucsBarPercent(u" 57%|█████▋    | 3.3/5.85 [00:02<00:01,  1.33seconds/s]"), 57);
    EXPECT_EQ(separation::demucsBarPercent(u"57%|█████▋    | 3.3/5.85 [00:02<00:01,  1.33seconds/s]"), 57);
    EXPECT_EQ(separation::demucsBarPercent(u"100%|██████████| 5.85/5.85 [00:04<00:00,  1.31seconds/s]"), 100);

    for (const char16_t* line : {u"|", u"x%|", u"%|", u"57%", u"150%|███| 9/6", u"-5%|", u"57|█████▋    | 3.3/5.85",
                                 u"Separating track /music/50%|mix.wav",
                                 u"Separated tracks will be stored in /tmp/stemloft-demucs-1/htdemucs",
                                 u"Selected model is a bag of 1 models. You will see that many progress bars per track.",
                                 u""})
        EXPECT_FALSE(separation::demucsBarPercent(line).has_value()) << QString::fromUtf16(line).toStdString();
}

TEST(SeparationProgress, ABagOfModelsIsOneClimbAndTheWeightsDownloadIsNoSeparation)
{
    using Kind = separation::DemucsProgress::Reading::Kind;
    // Two checkpoints fetched by torch.hub, then a bag of two models.
    separation::DemucsProgress progress(2);
    QStringList seen;
    for (const char* line : {"  0%|          | 0.00/80.2M [00:00<?, ?B/s]", "100%|##########| 80.2M/80.2M [00:04<00:00, 19.8MB/s]",
                                "  0%|          | 0.00/80.2M [00:00<?, ?B/s]", " 50%|#####     | 40.1M/80.2M [00:02<00:02, 1.2s/B]",
                                "Selected model is a bag of 2 models. You will see that many progress bars per track.",
                                // a two-hour mix counts seconds in thousands; read unfinished, then whole
                                " 50%|#####     | 3.6k/7.2k [10:00<10:00, 6.00seconds/s]",
                                " 50%|#####     | 3.6k/7.2k [10:00<10:00, 6.00seconds/s]",
                                "100%|##########| 7.2k/7.2k [20:00<00:00, 6.00seconds/s]",
                                "  0%|          | 0.0/7.2k [00:00<?, ?seconds/s]",
                                "100%|##########| 7.2k/7.2k [20:00<00:00, 6.00seconds/s]", "Loading model htdemucs"}) {
        const auto reading = progress.read(QString::fromUtf8(line));
        if (reading.kind != Kind::none)
            seen << QStringLiteral("%1 %2").arg(reading.kind == Kind::download ? "download" : "demucs").arg(reading.fraction);
    }
    EXPECT_EQ(seen, (QStringList{"download 0", "download 0.5", "download 0.5", "download 0.75", "demucs 0.25",
                                 "demucs 0.25", "demucs 0.5", "demucs 0.5", "demucs 1"}));
}

TEST(SeparationProgress, StagesAreWeightedAndNeverGoBack)
{
    EXPECT_EQ(separation::separationPercent(SeparationStage::converting, 0), 0);
    EXPECT_EQ(separation::separationPercent(SeparationStage::converting, 1), 5);
    EXPECT_EQ(separation::separationPercent(SeparationStage::demucs, 0), 5);
    EXPECT_EQ(separation::separationPercent(SeparationStage::demucs, 0.57), 50);
    EXPECT_EQ(separation::separationPercent(SeparationStage::demucs, 1), 85);
    EXPECT_EQ(separation::separationPercent(SeparationStage::encoding, 2.0 / 6), 90);
    EXPECT_EQ(separation::separationPercent(SeparationStage::encoding, 1), 100);
    // Out of range and not a number are clamped, not passed on.
    EXPECT_EQ(separation::separationPercent(SeparationStage::demucs, 1.7), 85);
    EXPECT_EQ(separation::separationPercent(SeparationStage::demucs, -0.2), 5);
    EXPECT_EQ(separation::separationPercent(SeparationStage::encoding, std::numeric_limits<double>::quiet_NaN()), 85);

    // A whole separation as the job reports it: each Demucs percentage, then
    // each of six encodes. The whole percentage never goes back and is exact.
    int last = separation::separationPercent(SeparationStage::converting, 1);
    for (int p = 0; p <= 100; ++p) {
        const int now = separation::separationPercent(SeparationStage::demucs, p / 100.0);
        EXPECT_EQ(now, (500 + 80 * p) / 100) << p;
        EXPECT_GE(now, last) << p;
        last = now;
    }
    for (int done = 0; done <= 6; ++done) {
        const int now = separation::separationPercent(SeparationStage::encoding, double(done) / 6);
        EXPECT_EQ(now, (85 * 6 + 15 * done) / 6) << done;
        EXPECT_GE(now, last) << done;
        last = now;
    }
    EXPECT_EQ(last, 100);
}
