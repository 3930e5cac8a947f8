#include "link/crc.h"

#include <QTest>

class TestCrc : public QObject {
    Q_OBJECT
private slots:
    void workedFrames_data() {
        QTest::addColumn<QByteArray>("covered");
        QTest::addColumn<int>("check");
        QTest::newRow("read 1") << QByteArray::fromHex("010300030001") << 0x0A74;
        QTest::newRow("write 1 <- 5") << QByteArray::fromHex("010600030005") << 0xC9B9;
        QTest::newRow("read 127") << QByteArray::fromHex("7F0300030001") << 0x147E;
        QTest::newRow("123456789") << QByteArray("123456789") << 0x4B37;
        QTest::newRow("single 00") << QByteArray::fromHex("00") << 0x40BF;
        QTest::newRow("single FF") << QByteArray::fromHex("FF") << 0x00FF;
        QTest::newRow("nothing") << QByteArray() << 0xFFFF;
    }
    void workedFrames() {
        QFETCH(QByteArray, covered);
        QFETCH(int, check);
        const auto* bytes = reinterpret_cast<const uint8_t*>(covered.constData());
        const int32_t value = CRC16(bytes, static_cast<int16_t>(covered.size()));
        QCOMPARE(value & 0xFFFF, check);
        // The frame as it goes out: low byte first, whatever the upper bits hold.
        const auto split = LongToByteArray(value);
        QCOMPARE(int(split[0]), check & 0xFF);
        QCOMPARE(int(split[1]), check >> 8);
    }

    void negativeLengthCoversNothing() {
        const uint8_t b[1] = {0x42};
        QCOMPARE(CRC16(b, -3) & 0xFFFF, 0xFFFF);
    }

    void byteSplitIsLittleEndianEverywhere() {
        const auto a = LongToByteArray(0x12345678);
        QCOMPARE(int(a[0]), 0x78);
        QCOMPARE(int(a[1]), 0x56);
        QCOMPARE(int(a[2]), 0x34);
        QCOMPARE(int(a[3]), 0x12);
        for (uint8_t b : LongToByteArray(-1)) QCOMPARE(int(b), 0xFF);
        const auto m = LongToByteArray(INT32_MIN);
        QCOMPARE(int(m[3]), 0x80);
        QCOMPARE(int(m[0]), 0);
    }
};

QTEST_APPLESS_MAIN(TestCrc)
#include "tst_crc.moc"
