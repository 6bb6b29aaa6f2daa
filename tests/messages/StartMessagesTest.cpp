#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "ipc/messages/MsgStartArguments.h"
#include "ipc/messages/MsgStartExec.h"
#include "ipc/messages/StartParametersMultiProcess.h"
#include "messages/MessagesTestHelpers.h"
#include "support/TestSupport.h"

using msgtest::Hex;
using msgtest::ToHex;
using msgtest::WasLogged;

namespace {

// request 5, id 0, module c:\m.dll, param -x, opt 3, hWnd 0x1234, chkCert 1.
const char* const kStartArgsHex =
    "00 00 00 00  05 00 00 00  00 00 00 00"
    "  08 00 00 00 63 3a 5c 6d 2e 64 6c 6c"
    "  02 00 00 00 2d 78"
    "  03 00 00 00  34 12 00 00  01";

}  // namespace

// ---- MsgStartArguments

TEST(MsgStartArgumentsTest, EncodesFieldsInWireOrder) {
    MsgStartArguments args(L"c:\\m.dll", "-x", 3);
    args.SetRequest(5);
    args.SetHWnd(0x1234);
    args.SetChkCert(true);
    EXPECT_EQ(ToHex(args.Serialize()), ToHex(Hex(kStartArgsHex)));

    DWORD length = 0;
    auto buffer = args.SerializeToBuffer(length);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(length, Hex(kStartArgsHex).size());
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(buffer.get()), length), Hex(kStartArgsHex));
}

TEST(MsgStartArgumentsTest, DecodesHandWrittenBodyAndIgnoresTheLeadingWord) {
    std::string body = Hex(kStartArgsHex);
    body[0] = '\x7f';  // the reserved word is not interpreted
    MsgStartArguments args;
    ASSERT_TRUE(args.Deserialize(body));
    EXPECT_EQ(args.GetRequest(), 5);
    EXPECT_EQ(args.GetId(), 0);
    EXPECT_EQ(args.GetModule(), L"c:\\m.dll");
    EXPECT_EQ(args.GetParam(), "-x");
    EXPECT_EQ(args.GetOpt(), 3);
    EXPECT_EQ(args.GetHWnd(), 0x1234u);
    EXPECT_TRUE(args.GetChkCert());
    EXPECT_TRUE(args.IsSet());
    // Re-encoding writes the reserved word as 0 again.
    EXPECT_EQ(ToHex(args.Serialize()), ToHex(Hex(kStartArgsHex)));
}

TEST(MsgStartArgumentsTest, NewObjectIsEmptyAndNotSet) {
    MsgStartArguments args;
    EXPECT_EQ(args.GetModule(), L"");
    EXPECT_EQ(args.GetParam(), "");
    EXPECT_EQ(args.GetOpt(), 0);
    EXPECT_EQ(args.GetHWnd(), 0u);
    EXPECT_FALSE(args.GetChkCert());
    EXPECT_EQ(args.GetId(), 0);
    EXPECT_EQ(args.GetRequest(), 0);
    EXPECT_FALSE(args.IsSet());
    EXPECT_EQ(ToHex(args.Serialize()),
              ToHex(Hex("00000000 00000000 00000000 00000000 00000000 00000000 00000000 00")));
}

TEST(MsgStartArgumentsTest, IsSetNeedsModuleAndNonNegativeIdAndRequest) {
    MsgStartArguments named(L"m.dll", "", 0);
    EXPECT_TRUE(named.IsSet());
    named.SetRequest(-1);
    EXPECT_FALSE(named.IsSet());

    // id -1 arrives only by decoding.
    std::string body = Hex(kStartArgsHex);
    body[8] = body[9] = body[10] = body[11] = '\xff';
    MsgStartArguments negativeId;
    ASSERT_TRUE(negativeId.Deserialize(body));
    EXPECT_EQ(negativeId.GetId(), -1);
    EXPECT_FALSE(negativeId.IsSet());
}

TEST(MsgStartArgumentsTest, ShortBodyIsLoggedAndTouchesNothing) {
    zrtest::ScopedTempDir dir;
    MsgStartArguments args(L"keep.dll", "p", 7);
    EXPECT_FALSE(args.Deserialize(Hex("00000000 09000000 09000000 000000")));
    EXPECT_EQ(args.GetRequest(), 0);
    EXPECT_EQ(args.GetModule(), L"keep.dll");
    EXPECT_EQ(args.GetOpt(), 7);
    EXPECT_TRUE(WasLogged("MsgStartArguments::Deserialize: [E] Invalid params, size:15"));
}

TEST(MsgStartArgumentsTest, ModuleCountPastTheEndKeepsTheWordsReadBeforeIt) {
    // request 9, id 4, then a module count of 200 with 5 bytes behind it.
    MsgStartArguments args;
    EXPECT_FALSE(args.Deserialize(Hex("00000000 09000000 04000000 c8000000 61 62 63 64 65")));
    EXPECT_EQ(args.GetRequest(), 9);
    EXPECT_EQ(args.GetId(), 4);
    EXPECT_EQ(args.GetModule(), L"");
    EXPECT_EQ(args.GetParam(), "");
    EXPECT_EQ(args.GetOpt(), 0);
}

TEST(MsgStartArgumentsTest, TrailingOrMissingBytesFailTheBody) {
    MsgStartArguments args;
    EXPECT_FALSE(args.Deserialize(Hex(kStartArgsHex) + "x"));
    std::string cut = Hex(kStartArgsHex);
    cut.pop_back();  // chkCert missing
    EXPECT_FALSE(args.Deserialize(cut));
}

TEST(MsgStartArgumentsTest, NonAsciiModuleTravelsAsUtf8AndComesBackUnchanged) {
    const std::wstring module = L"C:\\Programme\\M\u00fcller\\\u65e5\u672c\\\U0001F600.dll";
    MsgStartArguments args(module, "\xc3\xa4", -3);
    const std::string body = args.Serialize();
    // ü as UTF-8 on the wire.
    EXPECT_NE(body.find("M\xc3\xbcller"), std::string::npos);
    EXPECT_NE(body.find("\xe6\x97\xa5\xe6\x9c\xac"), std::string::npos);

    MsgStartArguments back;
    ASSERT_TRUE(back.Deserialize(body));
    EXPECT_EQ(back.GetModule(), module);
    EXPECT_EQ(back.GetParam(), "\xc3\xa4");
    EXPECT_EQ(back.GetOpt(), -3);
}

TEST(MsgStartArgumentsTest, TextFormHasDecimalRequestAndHexForTheRest) {
    std::string body = Hex(kStartArgsHex);
    body[8] = body[9] = body[10] = body[11] = '\xff';  // id -1
    body[body.size() - 9] = '\xff';                     // opt 255
    MsgStartArguments args;
    ASSERT_TRUE(args.Deserialize(body));
    EXPECT_EQ(args.ToString(),
              "{STARTARGS request:5, hWnd:00001234, chkCert:1, opt:ff, id:ffffffff, module:'c:\\m.dll', param:'-x}");

    MsgStartArguments wide(L"\u00e9.dll", "", 0);
    EXPECT_EQ(wide.ToString(),
              "{STARTARGS request:0, hWnd:00000000, chkCert:0, opt:0, id:0, module:'\xc3\xa9.dll', param:'}");
}

// ---- MsgStartExec

TEST(MsgStartExecTest, DefaultsEncodeToSixteenBytes) {
    MsgStartExec exec;
    EXPECT_EQ(ToHex(exec.Serialize()), ToHex(Hex("00000000 ffffffff 00000000 00000000")));
    exec.result = -5;
    exec.error = 1460;
    EXPECT_EQ(ToHex(exec.Serialize()), ToHex(Hex("00000000 ffffffff fbffffff b4050000")));
}

TEST(MsgStartExecTest, ExactlySixteenBytesDecode) {
    MsgStartExec exec;
    ASSERT_TRUE(exec.Deserialize(Hex("01000000 02000000 03000000 04000000")));
    EXPECT_EQ(exec.word0, 1);
    EXPECT_EQ(exec.word1, 2);
    EXPECT_EQ(exec.result, 3);
    EXPECT_EQ(exec.error, 4);
    exec.result = 0;
    EXPECT_EQ(ToHex(exec.Serialize()), ToHex(Hex("01000000 02000000 00000000 04000000")));
}

TEST(MsgStartExecTest, SeventeenBytesFailAfterStoringAllWords) {
    MsgStartExec exec;
    EXPECT_FALSE(exec.Deserialize(Hex("01000000 02000000 03000000 04000000 05")));
    EXPECT_EQ(exec.word0, 1);
    EXPECT_EQ(exec.word1, 2);
    EXPECT_EQ(exec.result, 3);
    EXPECT_EQ(exec.error, 4);
}

TEST(MsgStartExecTest, FifteenBytesAreLoggedAndKeepTheDefaults) {
    zrtest::ScopedTempDir dir;
    MsgStartExec exec;
    EXPECT_FALSE(exec.Deserialize(Hex("01000000 02000000 03000000 040000")));
    EXPECT_EQ(exec.word0, 0);
    EXPECT_EQ(exec.word1, -1);
    EXPECT_EQ(exec.result, 0);
    EXPECT_EQ(exec.error, 0);
    EXPECT_TRUE(WasLogged("MsgStartExec::Deserialize: [E] Invalid params, size:15"));
}

// ---- StartParametersMultiProcess

namespace {

StartParametersMultiProcess::Fields ExampleStart() {
    StartParametersMultiProcess::Fields f;
    f.request = 5;
    f.hWnd = 0;
    f.chkCert = true;
    f.repl = false;
    f.opt = 3;
    f.id = 0;
    f.module = "c:\\m.dll";
    f.param = "";
    f.type = 2;
    return f;
}

}  // namespace

TEST(StartParametersTest, FieldsSitAtTheirOffsets) {
    std::string body(StartParametersMultiProcess::kSize, '\0');
    body.replace(0, 5, "m.dll");
    body.replace(260, 3, "a b");
    body.replace(4356, 4, Hex("ff 00 00 00"));
    body.replace(4360, 4, Hex("ef be ad de"));
    body[4364] = 1;
    body[4365] = 2;
    body[4366] = body[4367] = '\x55';  // padding, not read
    body.replace(4368, 4, Hex("07 00 00 00"));
    body.replace(4372, 4, Hex("08 00 00 00"));
    body.replace(4376, 4, Hex("fe ff ff ff"));
    std::fill(body.begin() + 4380, body.end(), '\x33');  // not read

    const StartParametersMultiProcess start(body.data(), body.size());
    EXPECT_TRUE(start.IsValid());
    EXPECT_EQ(start.GetModule(), "m.dll");
    EXPECT_EQ(start.GetParam(), "a b");
    EXPECT_EQ(start.GetOpt(), 255);
    EXPECT_EQ(start.GetHWnd(), 0xDEADBEEFu);
    EXPECT_TRUE(start.GetRepl());
    EXPECT_TRUE(start.GetChkCert());
    EXPECT_EQ(start.GetId(), 7);
    EXPECT_EQ(start.GetRequest(), 8);
    EXPECT_EQ(start.GetType(), -2);
    EXPECT_EQ(start.ToString(),
              "{START request:8, hWnd:DEADBEEF, chkCert:1, repl:1, opt:ff, id:7, module:'m.dll', param:'a b', "
              "type:fffffffe}");
}

TEST(StartParametersTest, TextFormOfTheExampleBody) {
    const std::string body = StartParametersMultiProcess::Encode(ExampleStart());
    ASSERT_EQ(body.size(), 4464u);
    const StartParametersMultiProcess start(body.data(), body.size());
    EXPECT_EQ(start.ToString(),
              "{START request:5, hWnd:00000000, chkCert:1, repl:0, opt:3, id:0, module:'c:\\m.dll', param:'', type:2}");
}

TEST(StartParametersTest, NegativeAndLargeNumbersInHex) {
    auto f = ExampleStart();
    f.opt = 255;
    f.id = -1;
    f.type = 0x7fffffff;
    f.hWnd = 0xabc;
    f.request = -7;
    const std::string body = StartParametersMultiProcess::Encode(f);
    const StartParametersMultiProcess start(body.data(), body.size());
    EXPECT_EQ(start.ToString(),
              "{START request:-7, hWnd:00000ABC, chkCert:1, repl:0, opt:ff, id:ffffffff, module:'c:\\m.dll', "
              "param:'', type:7fffffff}");
}

TEST(StartParametersTest, ValidityNeedsModuleAndNonNegativeIdAndRequest) {
    auto check = [](const StartParametersMultiProcess::Fields& f) {
        const std::string body = StartParametersMultiProcess::Encode(f);
        return StartParametersMultiProcess(body.data(), body.size()).IsValid();
    };
    EXPECT_TRUE(check(ExampleStart()));
    auto f = ExampleStart();
    f.module.clear();
    EXPECT_FALSE(check(f));
    f = ExampleStart();
    f.id = -1;
    EXPECT_FALSE(check(f));
    f = ExampleStart();
    f.request = -1;
    EXPECT_FALSE(check(f));
}

TEST(StartParametersTest, ShortBodyIsInvalidAndNothingIsReadPastIt) {
    const std::string full = StartParametersMultiProcess::Encode(ExampleStart());
    // A heap block of exactly the received size, so a read past it is caught
    // by the address sanitizer.
    const size_t size = StartParametersMultiProcess::kSize - 1;
    std::unique_ptr<char[]> received(new char[size]);
    std::copy(full.begin(), full.begin() + static_cast<long>(size), received.get());
    StartParametersMultiProcess start(received.get(), size);
    EXPECT_FALSE(start.IsComplete());
    EXPECT_FALSE(start.IsValid());
    EXPECT_EQ(start.GetModule(), "");
    EXPECT_EQ(start.GetRequest(), 0);
    EXPECT_FALSE(start.SetId(-4));
    EXPECT_EQ(start.ToString(), "{START size:4463, incomplete}");

    EXPECT_FALSE(StartParametersMultiProcess(static_cast<const void*>(nullptr), 4464).IsValid());
}

TEST(StartParametersTest, TextsWithoutTerminatorStopAtTheirFieldEnd) {
    std::string body(StartParametersMultiProcess::kSize, '\0');
    std::fill(body.begin(), body.begin() + 260, 'm');
    std::fill(body.begin() + 260, body.begin() + 4356, 'p');
    const StartParametersMultiProcess start(body.data(), body.size());
    EXPECT_EQ(start.GetModule(), std::string(259, 'm'));
    EXPECT_EQ(start.GetParam(), std::string(4095, 'p'));

    auto f = ExampleStart();
    f.module = std::string(300, 'x');
    const std::string encoded = StartParametersMultiProcess::Encode(f);
    EXPECT_EQ(encoded[259], '\0');
    EXPECT_EQ(StartParametersMultiProcess(encoded.data(), encoded.size()).GetModule(), std::string(259, 'x'));
}

TEST(StartParametersTest, StartResultIsWrittenIntoTheIdField) {
    std::string body = StartParametersMultiProcess::Encode(ExampleStart());
    StartParametersMultiProcess start(body.data(), body.size());
    EXPECT_TRUE(start.SetId(-11));
    EXPECT_EQ(ToHex(body.substr(4368, 4)), "f5 ff ff ff");
    EXPECT_EQ(start.GetId(), -11);

    const std::string& constBody = body;
    StartParametersMultiProcess readOnly(static_cast<const void*>(constBody.data()), constBody.size());
    EXPECT_FALSE(readOnly.SetId(0));
    EXPECT_EQ(readOnly.GetId(), -11);
}

// ---- StopParametersMultiProcess

TEST(StopParametersTest, DecodesHandWrittenBodyAndFormatsIt) {
    std::string body = Hex("ff ff ff ff  60 ea 00 00  01 aa bb cc  07 00 00 00");
    StopParametersMultiProcess stop(body.data(), body.size());
    EXPECT_EQ(stop.GetModule(), -1);
    EXPECT_EQ(stop.GetTimeout(), 60000);
    EXPECT_EQ(stop.GetIsModule(), 1);
    EXPECT_EQ(stop.GetRequest(), 7);
    EXPECT_FALSE(stop.IsValid());
    EXPECT_EQ(stop.ToString(), "{STOP request:7, module:-1, isModule:1, timeout:60000}");

    EXPECT_TRUE(stop.SetIsModule(0));
    EXPECT_EQ(ToHex(body), "ff ff ff ff 60 ea 00 00 00 aa bb cc 07 00 00 00");
}

TEST(StopParametersTest, ValidityAndEncoding) {
    StopParametersMultiProcess::Fields f;
    f.module = 2;
    f.timeout = -1;
    f.isModule = 200;
    f.request = 0;
    const std::string body = StopParametersMultiProcess::Encode(f);
    EXPECT_EQ(ToHex(body), "02 00 00 00 ff ff ff ff c8 00 00 00 00 00 00 00");
    const StopParametersMultiProcess stop(body.data(), body.size());
    EXPECT_TRUE(stop.IsValid());
    EXPECT_EQ(stop.ToString(), "{STOP request:0, module:2, isModule:200, timeout:-1}");

    f.request = -2;
    const std::string negative = StopParametersMultiProcess::Encode(f);
    EXPECT_FALSE(StopParametersMultiProcess(negative.data(), negative.size()).IsValid());
}

TEST(StopParametersTest, ShortBodyIsInvalidAndNothingIsReadPastIt) {
    std::unique_ptr<char[]> received(new char[15]());
    StopParametersMultiProcess stop(received.get(), 15);
    EXPECT_FALSE(stop.IsValid());
    EXPECT_EQ(stop.GetRequest(), 0);
    EXPECT_FALSE(stop.SetIsModule(1));
    EXPECT_EQ(stop.ToString(), "{STOP size:15, incomplete}");
}
