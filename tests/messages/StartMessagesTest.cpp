#include <gtest/gtest.h>

#include <memory>

#include "ipc/messages/MsgStartArguments.h"
#include "ipc/messages/MsgStartExec.h"
#include "ipc/messages/StartParametersMultiProcess.h"
#include "log/LogTestUtil.h"
#include "util/LogLines.h"
#include "support/TestSupport.h"

using logtest::Hex;
using utiltest::CountLines;

namespace {

// request 5, id 0, module c:\m.dll, param -x, opt 3, hWnd 0x1234, chkCert 1.
const std::string kStartArgs = Hex(
    "00 00 00 00  05 00 00 00  00 00 00 00"
    "  08 00 00 00 63 3a 5c 6d 2e 64 6c 6c"
    "  02 00 00 00 2d 78"
    "  03 00 00 00  34 12 00 00  01");

}  // namespace

TEST(MsgStartArgumentsTest, EncodesAndDecodesTheWireLayout) {
    MsgStartArguments args(L"c:\\m.dll", "-x", 3);
    args.SetRequest(5);
    args.SetHWnd(0x1234);
    args.SetChkCert(true);
    EXPECT_EQ(args.Serialize(), kStartArgs);

    std::string body = kStartArgs;
    body[0] = '\x7f';  // the leading word is not interpreted
    MsgStartArguments back;
    ASSERT_TRUE(back.Deserialize(body));
    EXPECT_EQ(back.ToString(),
              "{STARTARGS request:5, hWnd:00001234, chkCert:1, opt:3, id:0, module:'c:\\m.dll', param:'-x}");
    EXPECT_TRUE(back.IsSet());
    EXPECT_EQ(back.Serialize(), kStartArgs);
    EXPECT_FALSE(back.Deserialize(kStartArgs + "x"));
    EXPECT_FALSE(back.Deserialize(kStartArgs.substr(0, 38)));

    // A non-ASCII module travels as UTF-8.
    const std::wstring module = L"C:\\M\u00fcller\\\u65e5\u672c\\\U0001F600.dll";
    const std::string utf8 = MsgStartArguments(module, "", 0).Serialize();
    EXPECT_NE(utf8.find("M\xc3\xbcller\\\xe6\x97\xa5\xe6\x9c\xac\\\xf0\x9f\x98\x80.dll"), std::string::npos);
    ASSERT_TRUE(back.Deserialize(utf8));
    EXPECT_EQ(back.GetModule(), module);
}

TEST(MsgStartArgumentsTest, IsSetNeedsModuleAndNonNegativeIdAndRequest) {
    EXPECT_FALSE(MsgStartArguments().IsSet());
    MsgStartArguments named(L"m.dll", "", 0);
    EXPECT_TRUE(named.IsSet());
    named.SetRequest(-1);
    EXPECT_FALSE(named.IsSet());
    std::string body = kStartArgs;
    body.replace(8, 4, Hex("ff ff ff ff"));  // id -1
    body[body.size() - 9] = '\xff';          // opt 255
    ASSERT_TRUE(named.Deserialize(body));
    EXPECT_FALSE(named.IsSet());
    // Decimal request, hex for the rest.
    EXPECT_EQ(named.ToString(),
              "{STARTARGS request:5, hWnd:00001234, chkCert:1, opt:ff, id:ffffffff, module:'c:\\m.dll', param:'-x}");
}

TEST(MsgStartArgumentsTest, ShortBodyTouchesNothingButACutModuleKeepsTheWordsBeforeIt) {
    zrtest::ScopedTempDir dir;
    MsgStartArguments args(L"keep.dll", "p", 7);
    EXPECT_FALSE(args.Deserialize(Hex("00000000 09000000 09000000 000000")));
    EXPECT_EQ(args.GetRequest(), 0);
    EXPECT_EQ(args.GetModule(), L"keep.dll");
    EXPECT_TRUE(CountLines("MsgStartArguments::Deserialize: [E] Invalid params, size:15"));

    EXPECT_FALSE(args.Deserialize(Hex("00000000 09000000 04000000 c8000000 61 62 63 64 65")));
    EXPECT_EQ(args.GetRequest(), 9);
    EXPECT_EQ(args.GetId(), 4);
    EXPECT_EQ(args.GetModule(), L"keep.dll");
}

TEST(MsgStartExecTest, SixteenBytesRoundTripFifteenAreLoggedSeventeenFailAfterStoring) {
    zrtest::ScopedTempDir dir;
    MsgStartExec exec;
    EXPECT_FALSE(exec.Deserialize(Hex("01000000 02000000 03000000 040000")));
    EXPECT_EQ(exec.Serialize(), Hex("00 00 00 00 ff ff ff ff 00 00 00 00 00 00 00 00"));  // the defaults
    EXPECT_TRUE(CountLines("MsgStartExec::Deserialize: [E] Invalid params, size:15"));

    ASSERT_TRUE(exec.Deserialize(Hex("01000000 02000000 03000000 04000000")));
    exec.result = -5;
    exec.error = 1460;
    EXPECT_EQ(exec.Serialize(), Hex("01000000 02000000 fbffffff b4050000"));

    EXPECT_FALSE(exec.Deserialize(Hex("05000000 06000000 07000000 08000000 09")));
    EXPECT_EQ(exec.Serialize(), Hex("05000000 06000000 07000000 08000000"));
}

namespace {

StartParametersMultiProcess::Fields ExampleStart() {
    StartParametersMultiProcess::Fields f;
    f.request = 5;
    f.chkCert = true;
    f.opt = 3;
    f.module = "c:\\m.dll";
    f.type = 2;
    return f;
}

bool IsValid(const StartParametersMultiProcess::Fields& f) {
    const std::string body = StartParametersMultiProcess::Encode(f);
    return StartParametersMultiProcess(body.data(), body.size()).IsValid();
}

}  // namespace

TEST(StartParametersTest, FieldsSitAtTheirOffsets) {
    std::string body(StartParametersMultiProcess::kSize, '\x33');  // padding and tail are not read
    body.replace(0, 6, std::string("m.dll", 6));
    body.replace(260, 4, std::string("a b", 4));
    body.replace(4356, 8, Hex("ff 00 00 00  ef be ad de"));
    body[4364] = 1;
    body[4365] = 2;
    body.replace(4368, 12, Hex("ff ff ff ff  08 00 00 00  fe ff ff ff"));
    StartParametersMultiProcess start(body.data(), body.size());
    EXPECT_FALSE(start.IsValid());  // id -1
    EXPECT_EQ(start.ToString(),
              "{START request:8, hWnd:DEADBEEF, chkCert:1, repl:1, opt:ff, id:ffffffff, module:'m.dll', "
              "param:'a b', type:fffffffe}");

    // The start result goes into the id field, and only through a writable view.
    EXPECT_TRUE(start.SetId(0));
    EXPECT_EQ(body.substr(4368, 4), Hex("00 00 00 00"));
    EXPECT_TRUE(start.IsValid());
    const std::string& constBody = body;
    EXPECT_FALSE(StartParametersMultiProcess(static_cast<const void*>(constBody.data()), body.size()).SetId(1));

    // Encoding: valid only with a module and a request that is not negative.
    const std::string example = StartParametersMultiProcess::Encode(ExampleStart());
    ASSERT_EQ(example.size(), 4464u);
    EXPECT_EQ(StartParametersMultiProcess(example.data(), example.size()).ToString(),
              "{START request:5, hWnd:00000000, chkCert:1, repl:0, opt:3, id:0, module:'c:\\m.dll', param:'', type:2}");
    EXPECT_TRUE(IsValid(ExampleStart()));
    auto f = ExampleStart();
    f.module.clear();
    EXPECT_FALSE(IsValid(f));
    f = ExampleStart();
    f.request = -1;
    EXPECT_FALSE(IsValid(f));
}

TEST(StartParametersTest, ShortBodiesAreInvalidAndNothingIsReadPastThem) {
    const std::string full = StartParametersMultiProcess::Encode(ExampleStart());
    // Exactly the received size on the heap, so the address sanitizer sees any
    // read past it.
    const size_t size = StartParametersMultiProcess::kSize - 1;
    std::unique_ptr<char[]> received(new char[size]);
    full.copy(received.get(), size);
    StartParametersMultiProcess start(received.get(), size);
    EXPECT_FALSE(start.IsValid());
    EXPECT_EQ(start.GetModule(), "");
    EXPECT_FALSE(start.SetId(-4));
    EXPECT_EQ(start.ToString(), "{START size:4463, incomplete}");

    std::unique_ptr<char[]> stopReceived(new char[15]());
    StopParametersMultiProcess stop(stopReceived.get(), 15);
    EXPECT_FALSE(stop.IsValid());
    EXPECT_FALSE(stop.SetIsModule(1));
    EXPECT_EQ(stop.ToString(), "{STOP size:15, incomplete}");
}

TEST(StartParametersTest, TextsWithoutTerminatorStopAtTheirFieldEnd) {
    auto f = ExampleStart();
    f.module = std::string(300, 'm');
    f.param = "abc";
    std::string body = StartParametersMultiProcess::Encode(f);
    EXPECT_EQ(body.substr(259, 5), std::string("mabc\0", 5));  // the module is cut at its field
    std::fill(body.begin() + 260, body.begin() + 4356, 'p');
    const StartParametersMultiProcess start(body.data(), body.size());
    EXPECT_EQ(start.GetModule(), std::string(260, 'm'));
    EXPECT_EQ(start.GetParam(), std::string(4096, 'p'));
    EXPECT_EQ(start.GetParamField(), std::string(4096, 'p'));
}

TEST(StopParametersTest, DecodesFormatsAndTakesTheStopResult) {
    std::string body = Hex("ff ff ff ff  60 ea 00 00  c8 aa bb cc  07 00 00 00");
    StopParametersMultiProcess stop(body.data(), body.size());
    EXPECT_FALSE(stop.IsValid());  // module -1
    EXPECT_EQ(stop.ToString(), "{STOP request:7, module:-1, isModule:200, timeout:60000}");
    EXPECT_TRUE(stop.SetIsModule(1));
    EXPECT_EQ(body, Hex("ff ff ff ff 60 ea 00 00 01 aa bb cc 07 00 00 00"));

    StopParametersMultiProcess::Fields f;
    f.module = 2;
    f.request = 3;
    const std::string encoded = StopParametersMultiProcess::Encode(f);
    EXPECT_EQ(encoded, Hex("02 00 00 00 00 00 00 00 00 00 00 00 03 00 00 00"));
    EXPECT_TRUE(StopParametersMultiProcess(encoded.data(), encoded.size()).IsValid());
}
