#include "separation/Manifest.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimeZone>

#include <gtest/gtest.h>

using namespace separation;

TEST(Manifest, WritesTheSortedPrettyLayoutByteForByte)
{
    Manifest m;
    m.createdAt = QDateTime(QDate(2026, 12, 6), QTime(5, 23, 22, 900), QTimeZone(3600));
    m.mode = QStringLiteral("4stems");
    m.model = QStringLiteral("htdemucs");
    m.sourceAudioPath = QStringLiteral("/Users/me/Müsic/Take Five [abc].m4a");
    m.stems = {{QStringLiteral("vocals"), QStringLiteral("stems/Take Five [abc]/vocals.m4a"), 5000000000LL},
               {QStringLiteral("drums"), QStringLiteral("stems/Take Five [abc]/drums.m4a"), 0}};
    const QByteArray expected =
        "{\n"
        "  \"createdAt\" : \"2026-12-06T04:23:22Z\",\n"
        "  \"mode\" : \"4stems\",\n"
        "  \"model\" : \"htdemucs\",\n"
        "  \"source\" : \"stemloft\",\n"
        "  \"sourceAudioPath\" : \"\\/Users\\/me\\/M\xc3\xbcsic\\/Take Five [abc].m4a\",\n"
        "  \"stems\" : [\n"
        "    {\n"
        "      \"contentType\" : \"audio\\/mp4\",\n"
        "      \"kind\" : \"vocals\",\n"
        "      \"path\" : \"stems\\/Take Five [abc]\\/vocals.m4a\",\n"
        "      \"size\" : 5000000000,\n"
        "      \"source\" : \"local\"\n"
        "    },\n"
        "    {\n"
        "      \"contentType\" : \"audio\\/mp4\",\n"
        "      \"kind\" : \"drums\",\n"
        "      \"path\" : \"stems\\/Take Five [abc]\\/drums.m4a\",\n"
        "      \"size\" : 0,\n"
        "      \"source\" : \"local\"\n"
        "    }\n"
        "  ]\n"
        "}";
    EXPECT_EQ(manifestJson(m), expected);
}

TEST(Manifest, EscapesEveryAwkwardCharacterSoThePathParsesBack)
{
    const QString nasty = QStringLiteral("q\"b\\s/n\nr\rt\tb\bf\f") + QChar(0x01) + QChar(0x1f) +
                          QChar(0x7f) + QStringLiteral(" é 日本 ") + QString::fromUcs4(U"\U0001F3B8");
    const QByteArray json = prettyJson(QJsonObject{{QStringLiteral("p"), nasty}});
    EXPECT_EQ(json, QByteArray("{\n  \"p\" : \"q\\\"b\\\\s\\/n\\nr\\rt\\tb\\bf\\f\\u0001\\u001f\x7f \xc3\xa9 "
                               "\xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x8e\xb8\"\n}"));
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(json, &error);
    ASSERT_EQ(error.error, QJsonParseError::NoError);
    EXPECT_EQ(doc.object().value(QStringLiteral("p")).toString(), nasty);
}

TEST(Manifest, SortsKeysAndKeepsNestingIndented)
{
    const QJsonObject object{{QStringLiteral("b"), 1},
                             {QStringLiteral("a"), QJsonArray{QJsonArray{true}, QJsonObject{}}},
                             {QStringLiteral("B"), 2.5}};
    EXPECT_EQ(prettyJson(object), QByteArray("{\n  \"B\" : 2.5,\n  \"a\" : [\n    [\n      true\n    ],\n"
                                             "    {}\n  ],\n  \"b\" : 1\n}"));
}
