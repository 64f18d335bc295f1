#include "Log.h"
#include "RawMessage.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

using com_vela::RawMessage;

namespace {

std::vector<uint8_t> bytes(const RawMessage& m)
{
    return std::vector<uint8_t>(m.getData().begin(), m.getData().end());
}

RawMessage body(const std::vector<uint8_t>& b, RawMessage::Type t = RawMessage::TYPE_DATA)
{
    return RawMessage(reinterpret_cast<const char*>(b.data()), static_cast<unsigned>(b.size()), t);
}

RawMessage header(uint32_t frameLength, uint32_t kind)
{
    RawMessage h(RawMessage::TYPE_DATA);
    h.write(frameLength);
    h.write(32u);
    h.write(kind);
    h.write(0u);
    for (int i = 0; i < 16; ++i)
        h.write(static_cast<unsigned char>(0xFF));
    return h;
}

} // namespace

TEST(csclient_RawMessage, AppendsFieldsMostSignificantByteFirst)
{
    RawMessage m(RawMessage::TYPE_DATA);
    EXPECT_EQ(m.getSize(), 0u);
    m.write(1.0f);
    m.write(-2);
    m.write(258u);
    m.write(static_cast<unsigned char>(0xAB));
    m.write("xy", 2);
    EXPECT_EQ(bytes(m), (std::vector<uint8_t>{0x3F, 0x80, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFE, 0x00, 0x00, 0x01,
                                              0x02, 0xAB, 'x', 'y'}));
    EXPECT_EQ(m.getType(), RawMessage::TYPE_DATA);
}

TEST(csclient_RawMessage, ReadsBigEndianFieldsInsideTheBody)
{
    RawMessage m = body({0x84, 0x02, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE, 0x3F, 0x80, 0x00, 0x00, 0x12});
    EXPECT_EQ(m.getProtocol(), -124);   // signed byte
    EXPECT_EQ(m.getSubprotocol(), 2);
    EXPECT_EQ(m.getWord(2), 0x7FFF);
    EXPECT_EQ(m.getDoubleWord(4), 0xFFFFFFFEu);
    EXPECT_EQ(m.getInt(4), -2);
    EXPECT_FLOAT_EQ(m.getFloat(8), 1.0f);
    EXPECT_EQ(m.getWord(11), 0x0012);
}

TEST(csclient_RawMessage, ReadsOutsideTheBodyGiveZero)
{
    std::vector<uint8_t> twelve(12, 0);
    twelve[10] = 0x01;
    twelve[11] = 0x06;
    EXPECT_EQ(body(twelve).getWord(10), 0x0106);
    std::vector<uint8_t> eleven(twelve.begin(), twelve.end() - 1);
    EXPECT_EQ(body(eleven).getWord(10), 0);

    RawMessage m = body({1, 2, 3, 4, 5, 6, 7, 8});
    EXPECT_EQ(m.getDoubleWord(4), 0x05060708u);   // offset + 4 == length
    EXPECT_EQ(m.getDoubleWord(5), 0u);            // one beyond
    EXPECT_EQ(m.getInt(5), 0);
    EXPECT_EQ(m.getFloat(5), 0.0f);
    // Offsets near the top of the range must not wrap around.
    EXPECT_EQ(m.getDoubleWord(0xFFFFFFFEu), 0u);
    EXPECT_EQ(m.getWord(0xFFFFFFFFu), 0);

    RawMessage empty(RawMessage::TYPE_DATA);
    EXPECT_EQ(empty.getProtocol(), 0);
    EXPECT_EQ(empty.getSubprotocol(), 0);
    EXPECT_EQ(body({5}).getProtocol(), 5);
    EXPECT_EQ(body({5}).getSubprotocol(), 0);
}

TEST(csclient_RawMessage, WriteAtOverwritesInsideOnlyAndNeverGrows)
{
    RawMessage m = body({0, 0, 0, 0, 0, 0});
    m.writeAt(2u, 0x01020304u);
    m.writeAt(3u, 0xFFFFFFFFu);            // would end past the body
    m.writeAt(0xFFFFFFFEu, 0xFFFFFFFFu);   // would wrap
    m.writeAt(5u, static_cast<unsigned char>(0x99));
    m.writeAt(6u, static_cast<unsigned char>(0x77));   // one past the end
    EXPECT_EQ(bytes(m), (std::vector<uint8_t>{0, 0, 1, 2, 3, 0x99}));
}

TEST(csclient_RawMessage, ShowPrintsFourBytesPerLine)
{
    RawMessage m = body({0x01, 0x02, 0x03, 0xAB, 0x05, 0x06});
    snlog::Capture capture;
    m.show();
    // A final incomplete group ends its line as well.
    EXPECT_EQ(capture.out(), "0x01 0x02 0x03 0xab \n0x05 0x06 \n");
    ASSERT_EQ(capture.records().size(), 1u);  // one record: no other line comes between
    capture.clear();
    body({0x01, 0x02, 0x03, 0x04}).show();
    EXPECT_EQ(capture.out(), "0x01 0x02 0x03 0x04 \n");
    capture.clear();
    body({}).show();
    EXPECT_EQ(capture.out(), "");
}

TEST(csclient_RawMessage, DataFrameCarriesLengthsAndLeavesTheCallerUntouched)
{
    std::vector<uint8_t> b(24, 0x11);
    RawMessage m = body(b);
    RawMessage frame(RawMessage::TYPE_INVALID);
    ASSERT_TRUE(com_vela::buildFrame(m, frame));

    std::vector<uint8_t> expected = {0, 0, 0, 0x38, 0, 0, 0, 0x20, 0, 0, 0, 0, 0, 0, 0, 0};
    expected.insert(expected.end(), 16, 0xFF);
    std::vector<uint8_t> sentBody = b;
    sentBody[4] = 0;
    sentBody[5] = 0;
    sentBody[6] = 0;
    sentBody[7] = 0x18;
    expected.insert(expected.end(), sentBody.begin(), sentBody.end());
    EXPECT_EQ(bytes(frame), expected);
    EXPECT_EQ(bytes(m), b);
    EXPECT_EQ(frame.getType(), RawMessage::TYPE_DATA);
}

TEST(csclient_RawMessage, FlowControlFrameMarksTheHeaderAndSendsTheBodyUnchanged)
{
    std::vector<uint8_t> b(20, 0x22);
    RawMessage frame(RawMessage::TYPE_DATA);
    ASSERT_TRUE(com_vela::buildFrame(body(b, RawMessage::TYPE_FLOW_CONTROL), frame));
    std::vector<uint8_t> expected = {0, 0, 0, 0x34, 0, 0, 0, 0x20, 0, 0, 0, 3, 0, 0, 0, 2};
    expected.insert(expected.end(), 15, 0xFF);
    expected.push_back(0xFE);
    expected.insert(expected.end(), b.begin(), b.end());
    EXPECT_EQ(bytes(frame), expected);
}

TEST(csclient_RawMessage, InvalidKindIsNotFramed)
{
    RawMessage frame(RawMessage::TYPE_DATA);
    frame.write(7u);
    EXPECT_FALSE(com_vela::buildFrame(body({1, 2, 3}, RawMessage::TYPE_INVALID), frame));
    EXPECT_EQ(frame.getSize(), 4u);
}

TEST(csclient_RawMessage, HeaderLengthsAreCheckedAndBounded)
{
    RawMessage::Type type = RawMessage::TYPE_INVALID;
    unsigned frameLength = 0, bodyLength = 0;

    EXPECT_EQ(com_vela::decodeFrameHeader(header(32, 0), type, frameLength, bodyLength),
              com_vela::FRAME_HEADER_BAD_LENGTH);
    EXPECT_EQ(frameLength, 32u);
    EXPECT_EQ(com_vela::decodeFrameHeader(header(0, 0), type, frameLength, bodyLength),
              com_vela::FRAME_HEADER_BAD_LENGTH);

    ASSERT_EQ(com_vela::decodeFrameHeader(header(33, 0), type, frameLength, bodyLength), com_vela::FRAME_HEADER_OK);
    EXPECT_EQ(bodyLength, 1u);
    EXPECT_EQ(type, RawMessage::TYPE_DATA);

    EXPECT_EQ(com_vela::decodeFrameHeader(header(com_vela::MAX_FRAME_SIZE, 0), type, frameLength, bodyLength),
              com_vela::FRAME_HEADER_OK);
    EXPECT_EQ(bodyLength, com_vela::MAX_FRAME_SIZE - 32);
    EXPECT_EQ(com_vela::decodeFrameHeader(header(com_vela::MAX_FRAME_SIZE + 1, 0), type, frameLength, bodyLength),
              com_vela::FRAME_HEADER_BAD_LENGTH);
    EXPECT_EQ(com_vela::decodeFrameHeader(header(0xFFFFFFFFu, 0), type, frameLength, bodyLength),
              com_vela::FRAME_HEADER_BAD_LENGTH);
    EXPECT_EQ(frameLength, 0xFFFFFFFFu);

    RawMessage shortHeader = header(40, 0);
    shortHeader.getData().resize(31);
    EXPECT_EQ(com_vela::decodeFrameHeader(shortHeader, type, frameLength, bodyLength), com_vela::FRAME_HEADER_SHORT);
}

TEST(csclient_RawMessage, HeaderKindCodesMapToTypes)
{
    struct Case {
        uint32_t code;
        RawMessage::Type type;
    } cases[] = {{0, RawMessage::TYPE_DATA},    {3, RawMessage::TYPE_FLOW_CONTROL}, {1, RawMessage::TYPE_INVALID},
                 {2, RawMessage::TYPE_INVALID}, {4, RawMessage::TYPE_INVALID},      {0x100, RawMessage::TYPE_INVALID}};
    for (const Case& c : cases) {
        RawMessage::Type type = RawMessage::TYPE_DATA;
        unsigned frameLength = 0, bodyLength = 0;
        ASSERT_EQ(com_vela::decodeFrameHeader(header(40, c.code), type, frameLength, bodyLength),
                  com_vela::FRAME_HEADER_OK);
        EXPECT_EQ(type, c.type) << "kind code " << c.code;
        EXPECT_EQ(bodyLength, 8u);
    }
}

TEST(csclient_RawMessage, FramedBodyDecodesBackToItsKindAndLength)
{
    for (RawMessage::Type t : {RawMessage::TYPE_DATA, RawMessage::TYPE_FLOW_CONTROL}) {
        RawMessage frame(RawMessage::TYPE_DATA);
        ASSERT_TRUE(com_vela::buildFrame(body(std::vector<uint8_t>(17, 1), t), frame));
        RawMessage head(frame.getData().data(), 32, RawMessage::TYPE_DATA);
        RawMessage::Type type = RawMessage::TYPE_INVALID;
        unsigned frameLength = 0, bodyLength = 0;
        ASSERT_EQ(com_vela::decodeFrameHeader(head, type, frameLength, bodyLength), com_vela::FRAME_HEADER_OK);
        EXPECT_EQ(type, t);
        EXPECT_EQ(bodyLength, 17u);
    }
}
