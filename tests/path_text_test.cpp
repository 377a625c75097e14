#include "driver/path_text.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <system_error>

#include "driver/path_name.h"
#include "driver/relaunch.h"
#include "driver/run.h"

namespace relauncher {
namespace {

constexpr int no_unicode_translation = 1113;

TEST(PathToWide, ConvertsExactlyInTheGivenCodePage) {
  const struct {
    std::string text;
    unsigned code_page;
    std::u16string expected;
  } cases[] = {
      {"", utf8_code_page, u""},
      {R"(C:\App\app.exe)", utf8_code_page, u"C:\\App\\app.exe"},
      {"C:\\\xC3\xBC\\\xF0\x9F\x98\x80.exe", utf8_code_page, u"C:\\\u00FC\\\U0001F600.exe"},
      {"C:\\\xFC\\\x80.exe", 1252, u"C:\\\u00FC\\\u20AC.exe"},
      {"\x93\xFA\x96\x7B", 932, u"\u65E5\u672C"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(path_to_wide(c.text, c.code_page), c.expected) << c.text << " in " << c.code_page;
  }
}

TEST(PathToWide, RefusesTextThatIsNotValidInTheCodePage) {
  const struct {
    std::string text;
    unsigned code_page;
  } cases[] = {
      {"C:\\\xFC.exe", utf8_code_page},
      {"\xC0\xAF", utf8_code_page},
      {"a\xE2\x82", utf8_code_page},
      {"a\x82", 932},
  };
  for (const auto& c : cases) {
    try {
      (void)path_to_wide(c.text, c.code_page);
      ADD_FAILURE() << "converted " << c.text << " in " << c.code_page;
    } catch (const std::system_error& error) {
      EXPECT_EQ(error.code(), std::error_code(no_unicode_translation, std::system_category()));
    }
  }
}

TEST(PathToNarrow, ConvertsExactlyOrRefuses) {
  EXPECT_EQ(path_to_narrow(u"", utf8_code_page), "");
  EXPECT_EQ(path_to_narrow(u"C:\\\u00FC\\\U0001F600.exe", utf8_code_page), "C:\\\xC3\xBC\\\xF0\x9F\x98\x80.exe");
  EXPECT_EQ(path_to_narrow(u"C:\\\u00FC\u20AC", 1252), "C:\\\xFC\x80");
  EXPECT_EQ(path_to_narrow(u"\u65E5\u672C", 932), "\x93\xFA\x96\x7B");
  // No best fit (U+0100 would become "A"), no default character, no lone surrogate.
  const struct {
    std::u16string text;
    unsigned code_page;
  } refused[] = {
      {u"C:\\\u0100.exe", 1252},
      {u"\u0416", 1252},
      {std::u16string(u"a\xD83D", 2), utf8_code_page},
      {std::u16string(u"\xDE00z", 2), utf8_code_page},
  };
  for (const auto& c : refused) {
    try {
      (void)path_to_narrow(c.text, c.code_page);
      ADD_FAILURE() << "converted a text in " << c.code_page;
    } catch (const std::system_error& error) {
      EXPECT_EQ(error.code(), std::error_code(no_unicode_translation, std::system_category()));
    }
  }
}

TEST(FileSystemCodePage, FollowsTheFileFunctionsMode) {
  ASSERT_TRUE(AreFileApisANSI());
  EXPECT_EQ(file_system_code_page(), GetACP());
  SetFileApisToOEM();
  const unsigned oem = file_system_code_page();
  SetFileApisToANSI();
  EXPECT_EQ(oem, GetOEMCP());
  EXPECT_NE(GetOEMCP(), GetACP()) << "the prefix should make the two differ";
}

TEST(FileNameComponent, SkipsTheRootName) {
  const struct {
    std::u16string path;
    std::size_t root;
    std::u16string name;
  } cases[] = {
      {uR"(C:\Tools\switch.exe)", 2, u"switch.exe"},
      {uR"(C:switch.exe)", 2, u"switch.exe"},
      {u"C:/Tools/switch", 2, u"switch"},
      {u"switch", 0, u"switch"},
      {u"", 0, u""},
      {u"s", 0, u"s"},
      {u"C:", 2, u""},
      {uR"(C:\Tools\)", 2, u""},
      {u"C:\\Tools/", 2, u""},
      {uR"(\\server)", 8, u""},
      {uR"(\\server\)", 8, u""},
      {uR"(\\server\share\x.exe)", 8, u"x.exe"},
      {uR"(//server/share)", 8, u"share"},
      {uR"(\\?\C:\x.exe)", 3, u"x.exe"},
      {uR"(\\.\pipe)", 3, u"pipe"},
      {uR"(\??\C:\a\b.exe)", 3, u"b.exe"},
      {uR"(\\?\\x)", 3, u"x"},
      {uR"(\\\x.exe)", 0, u"x.exe"},
      {uR"(\x.exe)", 0, u"x.exe"},
      {uR"(1:\x.exe)", 0, u"x.exe"},
  };
  for (const auto& c : cases) {
    const std::string shown(c.path.begin(), c.path.end());
    EXPECT_EQ(root_name_length(c.path), c.root) << shown;
    EXPECT_EQ(file_name_component(c.path), c.name) << shown;
  }
}

TEST(DisplayName, IsTheFileNameOrTheToolsOwnName) {
  EXPECT_EQ(display_name(std::nullopt), "relauncher");
  EXPECT_EQ(display_name(std::string()), "relauncher");
  EXPECT_EQ(display_name(std::string(R"(C:\Tools\switch.exe)")), "switch.exe");
  EXPECT_EQ(display_name(std::string(R"(C:\Tools\)")), "relauncher");
  // The name goes through the file system's code page and back, byte for byte.
  EXPECT_EQ(display_name(std::string("C:\\x\\\xC3\xBC.exe")), "\xC3\xBC.exe");
}

TEST(MakeRelaunchCommand, GivesThePathAloneInTheFileSystemCodePage) {
  const RelaunchCommand command = make_relaunch_command(u"C:\\App\\\u00FC.exe");
  EXPECT_EQ(command.program, path_to_narrow(u"C:\\App\\\u00FC.exe", file_system_code_page()));
  EXPECT_TRUE(command.arguments.empty());
  EXPECT_THROW(make_relaunch_command(std::u16string(u"C:\\\xD800.exe", 8)), std::system_error);
}

}  // namespace
}  // namespace relauncher
