// SQL wrapper and UTF-8 conversion: round trips, malformed input, bound parameters and
// row counting against an in-memory SQLite database.
#include "browser/sql.h"
#include "browser/utf.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Non-BMP characters are cut to 16 bits; an inner zero ends the text.
TEST(SqlUtf, RoundTripsBmpCharactersWithTheirEncodings)
{
    const struct {
        wchar_t c;
        std::string bytes;
    } cases[] = {
        {L'A', "A"},
        {wchar_t(0x00C4), "\xC3\x84"},
        {wchar_t(0x20AC), "\xE2\x82\xAC"},
        {wchar_t(0xFFFF), "\xEF\xBF\xBF"},
    };
    for (const auto& c : cases) {
        const std::wstring text{c.c};
        EXPECT_EQ(SQL::T2UTF8(text), c.bytes) << int(c.c);
        EXPECT_EQ(SQL::UTF82T(c.bytes), text) << int(c.c);
    }
    EXPECT_EQ(SQL::T2UTF8(L""), "");
    EXPECT_EQ(SQL::UTF82T(SQL::T2UTF8(std::wstring{wchar_t(0x1F600)})), std::wstring{wchar_t(0xF600)});
    EXPECT_EQ(SQL::UTF82T(std::string("ab\0cd", 5)), L"ab");
}

TEST(SqlUtf, MalformedInputEndsWithinItsBytes)
{
    // Each input sits in a vector of its exact size, so a read past the end is an
    // AddressSanitizer finding; a decoder that does not advance never returns.
    const std::vector<std::vector<unsigned char>> inputs = {
        {0xE2}, {0xE2, 0x82}, {0xC3}, {0xF0, 0x9F}, {0x80}, {0xBF, 0xBF, 'a'}, {'a', 0xEF, 0xBF},
    };
    for (const auto& in : inputs) {
        std::vector<unsigned short> out;
        UTF::UTF8Decode2BytesUnicode(in, out);
        EXPECT_TRUE(!out.empty() && out.size() <= in.size()) << out.size();
        EXPECT_TRUE(in.back() != 'a' || (out.size() == 3 && out.back() == 'a'));  // decoding resumes after junk
    }
}

class SqlStatementTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(sqlite3_open(":memory:", &db), SQLITE_OK);
        SQL::ExecQuery(db, "CREATE TABLE T(NAME TEXT, N INTEGER, D BLOB)");
        for (int i = 1; i <= 3; ++i)
            SQL::ExecQuery(db, "INSERT INTO T VALUES('%q', %d, NULL)", ("it's " + std::to_string(i)).c_str(), i);
    }
    void TearDown() override { sqlite3_close(db); }
    sqlite3* db = nullptr;
};

TEST_F(SqlStatementTest, ExecCountsRowsNamesBindFullyAndTablesGo)
{
    SQL::SqlStatement select, begin, one;
    ASSERT_EQ(select.Create(db, "SELECT N FROM T"), SQLITE_OK);
    EXPECT_EQ(select.Exec(db) + select.Exec(db), 6);
    begin.Create(db, "BEGIN TRANSACTION");
    EXPECT_TRUE(begin.Exec(db) == 0 && begin.LastResult() == SQLITE_DONE);
    EXPECT_EQ(SQL::ExecQuery(db, "SELECT NAME FROM T WHERE NAME='%q'", "it's 2"), 1);

    one.Create(db, "SELECT N FROM T WHERE N=$n");
    // The sigil is part of the name. (A braced list runs its calls in order.)
    EXPECT_EQ((std::vector<int>{one.Bind(db, "$missing", 2), one.Bind(db, "n", 2), one.Bind(db, "$n", 2), one.Value(db)}),
              (std::vector<int>{SQLITE_RANGE, SQLITE_RANGE, SQLITE_OK, 2}));
    one.Bind(db, "$n", 99);
    EXPECT_TRUE(one.Value(db) == 0 && one.ValueDateTime(db).toSecsSinceEpoch() == 0 && !one.ValuePtr(db));

    EXPECT_TRUE(SQL::ExistTable(db, "T") && !SQL::ExistTable(db, "U"));
    SQL::DropTable(db, "U");
    SQL::DropTable(db, "T");
    EXPECT_FALSE(SQL::ExistTable(db, "T"));
}

TEST_F(SqlStatementTest, BoundTemporariesAreCopiedAndDatesAre64Bit)
{
    SQL::SqlStatement insert, select, date;
    insert.Create(db, "INSERT INTO T VALUES($name, 7, $data)");
    {
        std::string name(40, 'x');
        std::vector<unsigned char> data(64, 0xAB);
        insert.Bind(db, "$name", name.c_str());
        insert.Bind(db, "$data", data.data(), int(data.size()));
        name.assign(40, 'y');  // overwrite and free before the statement runs
        std::fill(data.begin(), data.end(), 0);
    }
    EXPECT_EQ(insert.Exec(db), 0);
    select.Create(db, "SELECT D FROM T WHERE NAME=$name");
    select.Bind(db, "$name", std::string(40, 'x'));
    int size = 0;
    std::unique_ptr<unsigned char[]> blob(static_cast<unsigned char*>(select.ValuePtr(db, &size)));
    ASSERT_TRUE(blob && size == 64);
    EXPECT_TRUE(blob[0] == 0xAB && blob[63] == 0xAB);

    const qint64 late = (qint64(1) << 32) + 5;
    insert.Create(db, "INSERT INTO T VALUES('t', $n, NULL)");
    insert.Bind(db, "$n", QDateTime::fromSecsSinceEpoch(late, Qt::UTC));
    insert.Exec(db);
    date.Create(db, "SELECT N FROM T WHERE NAME='t'");
    EXPECT_EQ(date.ValueDateTime(db).toSecsSinceEpoch(), late);
}

}  // namespace
