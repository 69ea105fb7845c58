// The packet framer's settings beyond the connector's "$"/"#" to CR: letter case,
// included strings, fixed size, custom limits, and handler errors.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/error.h"
#include "transport/TPacketFramer.h"

namespace axg {
namespace {

using Texts = std::vector<std::u16string>;

struct Framed {
  TPacketFramer f;
  Texts packets, discards;
  Framed(std::u16string start, std::u16string stop) {
    f.StartString = std::move(start);
    f.StopString = std::move(stop);
    f.OnPacket = [this](TObject*, const std::u16string& s) { packets.push_back(s); };
    f.OnDiscard = [this](TObject*, const std::u16string& s) { discards.push_back(s); };
  }
};

TEST(PacketFramer, CaseInsensitiveLimitsAreFoundAndStripped) {
  Framed x(u"ab", u"yz");
  x.f.CaseInsensitive = true;
  x.f.HandleData("--AbhelloYz..aBworldyZ");
  EXPECT_EQ(x.packets, (Texts{u"hello", u"world"}));
  EXPECT_EQ(x.discards, (Texts{u"--", u".."}));

  Framed exact(u"ab", u"yz");  // the default: case counts
  exact.f.HandleData("ABnoYZabyesyz");
  EXPECT_EQ(exact.packets, Texts{u"yes"});
}

TEST(PacketFramer, IncludeStringsKeepsTheLimits) {
  Framed x(u"$", u"\r\n");
  x.f.IncludeStrings = true;
  x.f.HandleData("$0001AB\r\n$0002");
  EXPECT_EQ(x.packets, Texts{u"$0001AB\r\n"});
  EXPECT_EQ(x.f.Buffer(), u"$0002");
}

TEST(PacketFramer, StopStringSharingTheStartIsLookedForBehindIt) {
  Framed x(u"<>", u">");
  x.f.HandleData("<>abc>");
  EXPECT_EQ(x.packets, Texts{u"abc"});
}

TEST(PacketFramer, FixedSizeWithoutStopString) {
  Framed x(u"", u"");
  x.f.Size = 3;
  x.f.HandleData("abcdefgh");
  EXPECT_EQ(x.packets, (Texts{u"abc", u"def"}));
  EXPECT_EQ(x.f.Buffer(), u"gh");
  Framed y(u"$", u"\r");  // a stop string beyond the size does not stretch the packet
  y.f.Size = 4;
  y.f.HandleData("$ab\r$abcdef\r");
  EXPECT_EQ(y.packets, (Texts{u"ab", u"abc"}));
}

TEST(PacketFramer, NoStopConditionDeliversEveryChunk) {
  Framed x(u"$", u"");
  x.f.HandleData("xx$1");
  x.f.HandleData("");
  x.f.HandleData("\r");
  EXPECT_EQ(x.packets, (Texts{u"xx$1", u"\r"}));
  EXPECT_TRUE(x.f.Buffer().empty());
}

TEST(PacketFramer, CustomLimits) {
  Framed x(u"", u"");
  // A packet starts at a digit and is as long as that digit says, counted with it.
  x.f.OnCustomStart = [](TObject*, const std::u16string& b, int& pos) {
    for (std::size_t i = 0; i < b.size(); ++i)
      if (b[i] >= u'1' && b[i] <= u'9') {
        pos = static_cast<int>(i);
        return;
      }
  };
  x.f.OnCustomStop = [](TObject*, const std::u16string& b, int& len) {
    if (!b.empty()) len = b[0] - u'0';
  };
  x.f.HandleData("..4ab");  // 4 characters announced, 3 here: wait, do not cut short
  EXPECT_TRUE(x.packets.empty());
  EXPECT_TRUE(x.f.InPacket());
  x.f.HandleData("c2x");
  EXPECT_EQ(x.packets, (Texts{u"4abc", u"2x"}));
  EXPECT_EQ(x.discards, Texts{u".."});
}

TEST(PacketFramer, HandlerErrorDoesNotStopTheCutting) {
  Framed x(u"$", u"\r");
  int calls = 0;
  x.f.OnPacket = [&](TObject*, const std::u16string& s) {
    x.packets.push_back(s);
    if (++calls <= 2) throw Error(u"failed " + s);
  };
  try {
    x.f.HandleData("$1\r$2\r$3\rjunk");
    ADD_FAILURE() << "no error";
  } catch (const Error& e) {
    EXPECT_EQ(e.Message(), u"failed 1");  // the first one comes through
  }
  EXPECT_EQ(x.packets, (Texts{u"1", u"2", u"3"}));
  EXPECT_EQ(x.f.Buffer(), u"junk");
  x.f.HandleData("$4\r");  // and the next chunk starts clean
  EXPECT_EQ(x.discards, Texts{u"junk"});
  EXPECT_EQ(x.packets.back(), u"4");
}

}  // namespace
}  // namespace axg
