// The serial control on real pseudo-terminals: opening a COM number, line
// settings, bytes in both directions, every received byte handed on once,
// the ways a port cannot be opened or goes away, and how COM numbers map to
// the system's devices.
#include "harness.h"
#include "link/comport.h"
#include "link/mscomm.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QMap>
#include <QProcess>
#include <QSerialPortInfo>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTest>
#include <QTextStream>
#include <algorithm>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace {

// COM n names the device through the environment while this lives.
class ComName {
public:
    ComName(int n, const QString& device) : m_name("ORVANT_COM" + QByteArray::number(n)) {
        qputenv(m_name.constData(), device.toLocal8Bit());
    }
    ~ComName() { qunsetenv(m_name.constData()); }
    ComName(const ComName&) = delete;
    ComName& operator=(const ComName&) = delete;

private:
    QByteArray m_name;
};

// The error number an operation fails with, 0 when it succeeds; and why
// an open failed.
int errorOf(const std::function<void()>& operation, comport::OpenFailure* why = nullptr) {
    try {
        operation();
    } catch (const CommError& e) {
        if (why) *why = e.failure;
        return e.number;
    }
    return 0;
}

QByteArray everyByteValue() {
    QByteArray all;
    for (int b = 0; b < 256; ++b) all.append(static_cast<char>(b));
    return all;
}

bool writeAll(int fd, const QByteArray& bytes) {
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, bytes.size() - done);
        if (n <= 0) return false;
        done += n;
    }
    return true;
}

// What the far end of the line has received, once count bytes are there.
QByteArray readFarEnd(int fd, int count) {
    QByteArray got;
    (void)QTest::qWaitFor(
        [&] {
            char buffer[512];
            ssize_t n;
            while ((n = ::read(fd, buffer, sizeof buffer)) > 0) got.append(buffer, n);
            return got.size() >= count;
        },
        3000);
    return got;
}

// Receives through the control the way the exchange does: every chunk as
// it comes.
struct Receiver {
    explicit Receiver(MSComm& comm) {
        QObject::connect(&comm, &MSComm::OnComm, &comm, [this](const QByteArray& chunk) {
            ++notifications;
            sizes << chunk.size();
            bytes += chunk;
        });
    }
    int notifications = 0;
    QList<int> sizes;
    QByteArray bytes;
};

// How many of this process's descriptors are open on the device, also
// once the device has gone.
int descriptorsOn(const QString& device) {
    const QByteArray path = QFile::encodeName(device);
    int n = 0;
    const QDir fds(QStringLiteral("/proc/self/fd"));
    for (const QString& fd : fds.entryList(QDir::Files | QDir::System)) {
        char target[256];
        const ssize_t size =
            ::readlink(QFile::encodeName(fds.filePath(fd)).constData(), target, sizeof target - 1);
        const QByteArray link(target, size > 0 ? size : 0);
        if (link == path || link == path + " (deleted)") ++n;
    }
    return n;
}

// A program of its own that opens the device and keeps it until told to go.
class Holder {
public:
    explicit Holder(const QString& device) {
        m_process.start(QCoreApplication::applicationFilePath(),
                        {QStringLiteral("--hold-port"), device});
    }
    ~Holder() { release(); }
    bool holding() {
        if (!m_process.waitForStarted(5000)) return false;
        while (!m_process.canReadLine())
            if (!m_process.waitForReadyRead(5000)) return false;
        return m_process.readLine().trimmed() == "HELD";
    }
    void release() {
        if (m_process.state() == QProcess::NotRunning) return;
        m_process.closeWriteChannel();
        if (!m_process.waitForFinished(5000)) m_process.kill();
        m_process.waitForFinished(1000);
    }

private:
    QProcess m_process;
};

// Closes the descriptor it holds, if any, when it goes.
struct FileDescriptor {
    int fd = -1;
    ~FileDescriptor() {
        if (fd >= 0) ::close(fd);
    }
};

// A child process that has ended and is not yet reaped, while this lives.
struct Zombie {
    Zombie() : pid(::fork()) {
        if (pid == 0) ::_exit(0);
        siginfo_t info{};
        ::waitid(P_PID, pid_t(pid), &info, WEXITED | WNOWAIT);
    }
    ~Zombie() {
        if (pid > 0) ::waitpid(pid_t(pid), nullptr, 0);
    }
    qint64 pid;
};

// Leaves in dir the UUCP lock that names the device: a FIFO for "<fifo>", a
// link to such a lock elsewhere for "<link>", otherwise a file holding lock.
bool plantLock(const QString& dir, const QString& device, const QByteArray& lock) {
    const QByteArray path = QFile::encodeName(
        dir + QStringLiteral("/LCK..") + device.mid(5).replace(QLatin1Char('/'), QLatin1Char('_')));
    if (lock == "<fifo>") return ::mkfifo(path.constData(), 0644) == 0;
    if (lock == "<link>") {
        QFile target(dir + QStringLiteral("/elsewhere"));
        const QByteArray live =
            QByteArray::number(QCoreApplication::applicationPid()) + "\ntst_mscomm\n";
        return target.open(QIODevice::WriteOnly) && target.write(live) == live.size() &&
               target.flush() && ::symlink("elsewhere", path.constData()) == 0;
    }
    QFile file(QFile::decodeName(path));
    return file.open(QIODevice::WriteOnly) && file.write(lock) == lock.size();
}

int holdPort(const QString& device) {
    QSerialPort port(device);
    QTextStream out(stdout);
    if (!port.open(QIODevice::ReadWrite)) {
        out << "FAILED " << port.errorString() << Qt::endl;
        return 1;
    }
    out << "HELD" << Qt::endl;
    char c;
    while (::read(STDIN_FILENO, &c, 1) > 0) {
    }
    return 0;
}

} // namespace

class TestMsComm : public QObject {
    Q_OBJECT
private slots:
    void openAndClose() {
        Pty a, b;
        QVERIFY(a.isValid() && b.isValid());
        ComName com3(3, a.slavePath());
        ComName com4(4, b.slavePath());
        MSComm comm;
        QCOMPARE(comm.CommPort(), int16_t(1));
        QCOMPARE(comm.Settings(), QStringLiteral("9600,N,8,1"));
        QVERIFY(!comm.PortOpen());

        comm.setCommPort(3);
        comm.setSettings(QStringLiteral("9600,N,8,1"));
        QCOMPARE(errorOf([&] { comm.setPortOpen(true); }), 0);
        QVERIFY(comm.PortOpen());
        QCOMPARE(comm.device(), a.slavePath());

        // The configuration in force, read back from the device itself:
        // 9600 8N1, no handshaking, every byte passed as it is.
        const termios t = lineState(a);
        QCOMPARE(t.c_cflag & (CSIZE | PARENB), tcflag_t(CS8));
        QCOMPARE(cfgetospeed(&t), speed_t(B9600));
        QCOMPARE(cfgetispeed(&t), speed_t(B9600));
        QCOMPARE(t.c_cflag & (CSTOPB | CRTSCTS), tcflag_t(0));
        QCOMPARE(t.c_iflag & (IXON | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP | PARMRK), tcflag_t(0));
        QCOMPARE(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), tcflag_t(0));
        QCOMPARE(t.c_oflag & OPOST, tcflag_t(0));

        comm.setPortOpen(false);
        QVERIFY(!comm.PortOpen());
        comm.setPortOpen(false); // closing a closed port is harmless
        QVERIFY(!comm.PortOpen());

        // A new number takes effect at the next open.
        comm.setCommPort(4);
        comm.setPortOpen(true);
        QCOMPARE(comm.device(), b.slavePath());
        comm.setPortOpen(false);
        comm.setCommPort(3);
        comm.setPortOpen(true);
        QCOMPARE(comm.device(), a.slavePath());
    }

    // Pseudo-terminals have no modem lines; the port opens and stays up.
    void modemLinesNotRequired() {
        Pty pty;
        ComName com(1, pty.slavePath());
        MSComm comm;
        int lost = 0;
        connect(&comm, &MSComm::PortLost, this, [&] { ++lost; });
        QCOMPARE(errorOf([&] { comm.setPortOpen(true); }), 0);
        QTest::qWait(100);
        QVERIFY(comm.PortOpen());
        QCOMPARE(lost, 0);
        QCOMPARE(errorOf([&] { comm.setOutput(QByteArray("\x01\x02", 2)); }), 0);
        QCOMPARE(readFarEnd(pty.masterFd(), 2), QByteArray("\x01\x02", 2));
    }

    void settingsTexts_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<int>("baud");
        QTest::addColumn<int>("parity");
        QTest::addColumn<int>("dataBits");
        QTest::addColumn<int>("stopBits");
        auto valid = [](const char* text, int baud, QSerialPort::Parity p, int bits,
                        QSerialPort::StopBits stop) {
            QTest::newRow(text) << text << true << baud << int(p) << bits << int(stop);
        };
        auto invalid = [](const char* tag, const char* text) {
            QTest::newRow(tag) << text << false << 0 << 0 << 0 << 0;
        };
        valid("9600,N,8,1", 9600, QSerialPort::NoParity, 8, QSerialPort::OneStop);
        valid("19200,E,7,2", 19200, QSerialPort::EvenParity, 7, QSerialPort::TwoStop);
        valid("4800,O,5,1.5", 4800, QSerialPort::OddParity, 5, QSerialPort::OneAndHalfStop);
        valid("1200,M,6,1", 1200, QSerialPort::MarkParity, 6, QSerialPort::OneStop);
        valid("300,S,8,2", 300, QSerialPort::SpaceParity, 8, QSerialPort::TwoStop);
        valid("115200,N,8,1", 115200, QSerialPort::NoParity, 8, QSerialPort::OneStop);
        valid("9600,n,8,1", 9600, QSerialPort::NoParity, 8, QSerialPort::OneStop);
        invalid("empty", "");
        invalid("baud only", "9600");
        invalid("three fields", "9600,N,8");
        invalid("five fields", "9600,N,8,1,1");
        invalid("semicolons", "9600;N;8;1");
        invalid("baud not a number", "abc,N,8,1");
        invalid("baud zero", "0,N,8,1");
        invalid("baud negative", "-9600,N,8,1");
        invalid("unknown parity", "9600,X,8,1");
        invalid("no parity letter", "9600,,8,1");
        invalid("nine data bits", "9600,N,9,1");
        invalid("four data bits", "9600,N,4,1");
        invalid("no data bits", "9600,N,,1");
        invalid("three stop bits", "9600,N,8,3");
        invalid("zero stop bits", "9600,N,8,0");
    }
    void settingsTexts() {
        QFETCH(QString, text);
        QFETCH(bool, valid);
        QFETCH(int, baud);
        QFETCH(int, parity);
        QFETCH(int, dataBits);
        QFETCH(int, stopBits);

        const auto parsed = comport::parseSettings(text);
        QCOMPARE(parsed.has_value(), valid);
        if (valid) {
            QCOMPARE(parsed->baud, baud);
            QCOMPARE(int(parsed->parity), parity);
            QCOMPARE(int(parsed->dataBits), dataBits);
            QCOMPARE(int(parsed->stopBits), stopBits);
        }

        MSComm comm;
        const QString before = QStringLiteral("4800,E,7,2");
        comm.setSettings(before);
        const int error = errorOf([&] { comm.setSettings(text); });
        QCOMPARE(error, valid ? 0 : int(MSComm::ErrInvalidPropertyValue));
        QCOMPARE(comm.Settings(), valid ? text : before);
    }

    // New settings reach the open device; refused ones leave it alone.
    void settingsOnOpenPort() {
        Pty pty;
        ComName com(2, pty.slavePath());
        MSComm comm;
        comm.setCommPort(2);
        comm.setPortOpen(true);

        // A pseudo-terminal refuses other parities and data bits, so speed
        // and stop bits carry the change here.
        comm.setSettings(QStringLiteral("19200,N,8,2"));
        termios t = lineState(pty);
        QCOMPARE(cfgetospeed(&t), speed_t(B19200));
        QCOMPARE(t.c_cflag & CSTOPB, tcflag_t(CSTOPB));

        QCOMPARE(errorOf([&] { comm.setSettings(QStringLiteral("9600,Q,8,1")); }),
                 int(MSComm::ErrInvalidPropertyValue));
        t = lineState(pty);
        QCOMPARE(cfgetospeed(&t), speed_t(B19200));
        QVERIFY(comm.PortOpen());

        comm.setSettings(QStringLiteral("9600,N,8,1"));
        t = lineState(pty);
        QCOMPARE(cfgetospeed(&t), speed_t(B9600));
        QCOMPARE(t.c_cflag & CSTOPB, tcflag_t(0));
    }

    void everyByteGoesOutUnchanged() {
        Pty pty;
        ComName com(1, pty.slavePath());
        MSComm comm;
        comm.setPortOpen(true);
        const QByteArray all = everyByteValue();
        QByteArray reversed = all;
        std::reverse(reversed.begin(), reversed.end());
        comm.setOutput(all);
        comm.setOutput(reversed);
        QCOMPARE(readFarEnd(pty.masterFd(), 512), all + reversed);
    }

    // Every value arrives unchanged and in order, each byte once, however
    // the bytes are grouped on the way; no notification comes empty.
    void everyByteComesInUnchanged_data() {
        QTest::addColumn<int>("chunk");
        QTest::newRow("one at a time") << 1;
        QTest::newRow("in sevens") << 7;
        QTest::newRow("all at once") << 256;
    }
    void everyByteComesInUnchanged() {
        QFETCH(int, chunk);
        Pty pty;
        ComName com(1, pty.slavePath());
        MSComm comm;
        Receiver rx(comm);
        comm.setPortOpen(true);
        const QByteArray all = everyByteValue();
        for (int i = 0; i < all.size(); i += chunk) {
            QVERIFY(writeAll(pty.masterFd(), all.mid(i, chunk)));
            if (chunk < all.size()) QTest::qWait(1);
        }
        QVERIFY(QTest::qWaitFor([&] { return rx.bytes.size() >= 256; }, 5000));
        QTest::qWait(100);
        QCOMPARE(rx.bytes, all);
        QVERIFY(!rx.sizes.contains(0));
        QCOMPARE(rx.notifications, rx.sizes.size());
    }

    // A frame written at once on the far end comes in one notification,
    // whole; one written a byte at a time comes in order, none doubled.
    void oneNotificationPerByte_data() {
        QTest::addColumn<bool>("byteByByte");
        QTest::newRow("one write") << false;
        QTest::newRow("a byte at a time") << true;
    }
    void oneNotificationPerByte() {
        QFETCH(bool, byteByByte);
        Pty pty;
        ComName com(1, pty.slavePath());
        MSComm comm;
        Receiver rx(comm);
        comm.setPortOpen(true);
        const QByteArray frame = QByteArray::fromHex("0103020005000BD5C0");
        for (qsizetype i = 0; i < frame.size(); i += byteByByte ? 1 : frame.size()) {
            QVERIFY(writeAll(pty.masterFd(), frame.mid(i, byteByByte ? 1 : frame.size())));
            if (byteByByte) QTest::qWait(20);
        }
        QVERIFY(QTest::qWaitFor([&] { return rx.bytes.size() >= frame.size(); }, 3000));
        QTest::qWait(100);
        QCOMPARE(rx.bytes, frame);
        QCOMPARE(rx.notifications, byteByByte ? int(frame.size()) : 1);
    }

    // Nothing is handed on when nothing came, nor once the port is closed.
    void inputWhenNothingWaits() {
        MSComm comm;
        Receiver rx(comm);
        Pty pty;
        ComName com(1, pty.slavePath());
        comm.setPortOpen(true);
        QTest::qWait(100);
        QCOMPARE(rx.notifications, 0);
        QVERIFY(writeAll(pty.masterFd(), "A"));
        QVERIFY(QTest::qWaitFor([&] { return rx.notifications == 1; }, 3000));
        QCOMPARE(rx.bytes, QByteArray("A"));
        comm.setPortOpen(false);
        QVERIFY(writeAll(pty.masterFd(), "B"));
        QTest::qWait(100);
        QCOMPARE(rx.bytes, QByteArray("A"));
    }

    void outputNeedsOpenPort() {
        MSComm comm;
        QCOMPARE(errorOf([&] { comm.setOutput("x"); }), int(MSComm::ErrPortNotOpen));
        Pty pty;
        ComName com(1, pty.slavePath());
        comm.setPortOpen(true);
        comm.setPortOpen(false);
        QCOMPARE(errorOf([&] { comm.setOutput("x"); }), int(MSComm::ErrPortNotOpen));
        QCOMPARE(readFarEnd(pty.masterFd(), 1), QByteArray());
    }

    // Every way a COM number can be unusable gives 8002, leaves the port
    // closed, and does not stop the next open of a usable device. Only a
    // missing permission and a device held elsewhere are told apart. Lock
    // files any user can plant neither hang the diagnosis nor blame a
    // process that does not hold the device.
    void unusablePort_data() {
        QTest::addColumn<QString>("cause");
        QTest::addColumn<int>("diagnosis");
        QTest::addColumn<bool>("blamed");     // the detail names the pid of a lock's holder
        QTest::addColumn<QByteArray>("lock"); // planted in $TMPDIR; <self> is this process's pid
        using F = comport::OpenFailure;
        const auto row = [](const char* cause, int diagnosis, bool blamed = false,
                            const QByteArray& lock = QByteArray()) {
            QTest::newRow(cause) << QString::fromLatin1(cause) << diagnosis << blamed << lock;
        };
        row("no such path", F::Unavailable);
        row("not a terminal", F::Unavailable);
        row("line already gone", F::Unavailable);
        row("beyond the system's ports", F::Unavailable);
        row("held in this process", F::InUse, true);
        row("held by another program", F::InUse, true);
        row("no permission, group uucp", F::PermissionDenied);
        row("no permission for any group", F::NeedsAdministrator);
        row("no permission, group root", F::NeedsAdministrator);
        // The device is held for exclusive use, with these lock files beside.
        row("lock of a live program, lockdev style", F::InUse, true, "      <self>\n");
        row("lock of a live program, Qt style", F::InUse, true, "<self>\ntst_mscomm\nhost\n");
        row("lock file is a FIFO", F::InUse, false, "<fifo>");
        row("lock is a link to a live program's lock", F::InUse, false, "<link>");
        row("lock names a pid beyond pid_t", F::InUse, false, "4294967297\n");
        row("lock of a zombie", F::InUse, false, "<zombie>\n");
        row("lock of a pid now another program's", F::InUse, false, "<self>\nminicom\n");
    }
    void unusablePort() {
        QFETCH(QString, cause);
        QFETCH(int, diagnosis);
        QFETCH(bool, blamed);
        QFETCH(QByteArray, lock);
        const int n = 5;
        Pty pty;
        QVERIFY(pty.isValid());
        QTemporaryFile plainFile;
        std::unique_ptr<ComName> name;
        std::unique_ptr<QSerialPort> sameProcess;
        std::unique_ptr<Holder> otherProgram;
        std::unique_ptr<Pty> gone;
        int number = n;
        const bool asNobody = cause.startsWith(QLatin1String("no permission")) || !lock.isEmpty();

        if (cause == QLatin1String("no such path")) {
            name = std::make_unique<ComName>(n, QStringLiteral("/dev/orvant-no-such-tty"));
        } else if (cause == QLatin1String("not a terminal")) {
            QVERIFY(plainFile.open());
            name = std::make_unique<ComName>(n, plainFile.fileName());
        } else if (cause == QLatin1String("line already gone")) {
            // Kept until the end so that no other pseudo-terminal takes its number.
            gone = std::make_unique<Pty>();
            name = std::make_unique<ComName>(n, gone->slavePath());
            gone->closeMaster();
        } else if (cause == QLatin1String("beyond the system's ports")) {
            number = int(QSerialPortInfo::availablePorts().size()) + 1;
            qunsetenv(QByteArray("ORVANT_COM" + QByteArray::number(number)).constData());
        } else if (cause == QLatin1String("held in this process")) {
            // Qt locks the device for whoever opens it, so a second port
            // object meets the same refusal as another program would.
            name = std::make_unique<ComName>(n, pty.slavePath());
            sameProcess = std::make_unique<QSerialPort>(pty.slavePath());
            QVERIFY(sameProcess->open(QIODevice::ReadWrite));
        } else if (cause == QLatin1String("held by another program")) {
            name = std::make_unique<ComName>(n, pty.slavePath());
            otherProgram = std::make_unique<Holder>(pty.slavePath());
            QVERIFY(otherProgram->holding());
        } else {
            // Root opens anything: a user outside the device's group tries.
            const char* group = cause.endsWith(QLatin1String("root")) ? "root" : "uucp";
            if (!lockOutNobody(pty.slavePath(), group))
                QSKIP("needs root, a group uucp and a user nobody to try the device as a user "
                      "outside its group");
            if (cause.endsWith(QLatin1String("any group")))
                QVERIFY(::chmod(QFile::encodeName(pty.slavePath()), 0600) == 0);
            // Held for exclusive use (TIOCEXCL), which stops all but root.
            FileDescriptor exclusive;
            QTemporaryDir lockDir;
            Zombie zombie;
            if (!lock.isEmpty()) {
                QVERIFY(::chmod(QFile::encodeName(pty.slavePath()), 0666) == 0);
                exclusive.fd = ::open(QFile::encodeName(pty.slavePath()), O_RDWR | O_NOCTTY);
                QVERIFY(exclusive.fd >= 0 && ::ioctl(exclusive.fd, TIOCEXCL) == 0);
                QVERIFY(lockDir.isValid() && ::chmod(QFile::encodeName(lockDir.path()), 0755) == 0);
                lock.replace("<self>", QByteArray::number(QCoreApplication::applicationPid()));
                lock.replace("<zombie>", QByteArray::number(zombie.pid));
                QVERIFY(plantLock(lockDir.path(), pty.slavePath(), lock));
            }
            QProcess child;
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            if (!lock.isEmpty()) env.insert(QStringLiteral("TMPDIR"), lockDir.path());
            child.setProcessEnvironment(env);
            child.start(QCoreApplication::applicationFilePath(),
                        {QStringLiteral("--open-as-nobody"), pty.slavePath()});
            // A diagnosis that blocks would hold the child past this.
            QVERIFY2(child.waitForFinished(10000), "the open did not return");
            const QStringList shown =
                QString::fromLocal8Bit(child.readAllStandardOutput()).split('\n');
            QCOMPARE(
                shown.mid(0, 4),
                QStringList({QString::number(MSComm::ErrInvalidPortNumber),
                             QString::number(diagnosis), pty.slavePath(),
                             diagnosis == comport::OpenFailure::PermissionDenied ? "uucp" : ""}));
            QVERIFY2(shown.value(4).contains(QLatin1String("(pid ")) == blamed,
                     qPrintable(shown.value(4)));
        }

        MSComm comm;
        comm.setCommPort(static_cast<int16_t>(number));
        if (!asNobody) {
            comport::OpenFailure why;
            QCOMPARE(errorOf([&] { comm.setPortOpen(true); }, &why),
                     int(MSComm::ErrInvalidPortNumber));
            QCOMPARE(int(why.cause), diagnosis);
            if (diagnosis == comport::OpenFailure::InUse) QCOMPARE(why.device, pty.slavePath());
            QVERIFY(why.detail.contains(QStringLiteral("COM%1").arg(number)));
            QVERIFY2(why.detail.contains(QLatin1String("(pid ")) == blamed, qPrintable(why.detail));
        }
        QVERIFY(!comm.PortOpen());
        QCOMPARE(errorOf([&] { comm.setOutput("x"); }), int(MSComm::ErrPortNotOpen));

        // Once the device is free, or the number names a usable one, it opens.
        sameProcess.reset();
        otherProgram.reset();
        name.reset();
        name = std::make_unique<ComName>(number, pty.slavePath());
        QCOMPARE(errorOf([&] { comm.setPortOpen(true); }), 0);
        QVERIFY(comm.PortOpen());
        comm.setOutput("ok");
        QCOMPARE(readFarEnd(pty.masterFd(), 2), QByteArray("ok"));
    }

    // The far end going away closes the port with one report, and the dead
    // line is not held or polled afterwards.
    void lineLost() {
        Pty first, second;
        ComName com(1, first.slavePath());
        MSComm comm;
        int lost = 0;
        bool openAtReport = true;
        connect(&comm, &MSComm::PortLost, this, [&] {
            ++lost;
            openAtReport = comm.PortOpen();
        });
        // The line's own keeper holds the device open too.
        const int kept = descriptorsOn(first.slavePath());
        comm.setPortOpen(true);
        QCOMPARE(descriptorsOn(first.slavePath()), kept + 1);
        first.closeMaster();
        QVERIFY(QTest::qWaitFor([&] { return lost > 0; }, 3000));
        QVERIFY(!openAtReport);
        QVERIFY(!comm.PortOpen());
        QCOMPARE(descriptorsOn(first.slavePath()), kept);
        QTest::qWait(300);
        QCOMPARE(lost, 1);
        QVERIFY(!comm.PortOpen());
        QCOMPARE(errorOf([&] { comm.setOutput("x"); }), int(MSComm::ErrPortNotOpen));

        // A later line is watched afresh: its loss is reported once more.
        ComName again(1, second.slavePath());
        QCOMPARE(errorOf([&] { comm.setPortOpen(true); }), 0);
        Receiver rx(comm);
        QVERIFY(writeAll(second.masterFd(), "Z"));
        QVERIFY(QTest::qWaitFor([&] { return rx.notifications == 1; }, 3000));
        QCOMPARE(rx.bytes, QByteArray("Z"));
        second.closeMaster();
        QVERIFY(QTest::qWaitFor([&] { return lost == 2; }, 3000));
        QTest::qWait(300);
        QCOMPARE(lost, 2);
        QVERIFY(!comm.PortOpen());
    }

    // Closing the port on purpose is no loss.
    void closingIsNoLoss() {
        Pty pty;
        ComName com(1, pty.slavePath());
        MSComm comm;
        int lost = 0;
        connect(&comm, &MSComm::PortLost, this, [&] { ++lost; });
        comm.setPortOpen(true);
        comm.setPortOpen(false);
        pty.closeMaster();
        QTest::qWait(100);
        QCOMPARE(lost, 0);
    }

    void comNumbers_data() {
        QTest::addColumn<int>("n");
        QTest::addColumn<QStringList>("environment");
        QTest::addColumn<QStringList>("ports");
        QTest::addColumn<QString>("device");
        const QStringList ports = {"/dev/ttyS10", "/dev/ttyUSB10", "/dev/ttyS0", "/dev/ttyACM0",
                                   "/dev/ttyUSB2"};
        const QStringList none;
        QTest::newRow("COM1 ttyUSB2") << 1 << none << ports << "/dev/ttyUSB2";
        QTest::newRow("COM2 ttyUSB10") << 2 << none << ports << "/dev/ttyUSB10";
        QTest::newRow("COM3 ttyACM0 after the ttyUSBs") << 3 << none << ports << "/dev/ttyACM0";
        QTest::newRow("COM4 first other") << 4 << none << ports << "/dev/ttyS0";
        QTest::newRow("COM5 ttyS10") << 5 << none << ports << "/dev/ttyS10";
        QTest::newRow("COM6 beyond the list") << 6 << none << ports << "";
        QTest::newRow("COM0") << 0 << none << ports << "";
        QTest::newRow("COM-1") << -1 << none << ports << "";
        QTest::newRow("no ports") << 1 << none << QStringList() << "";
        QTest::newRow("override") << 2 << QStringList{"ORVANT_COM2=/dev/pts/7"} << ports
                                  << "/dev/pts/7";
        QTest::newRow("override beyond the list")
            << 20 << QStringList{"ORVANT_COM20=/dev/ttyX"} << ports << "/dev/ttyX";
        QTest::newRow("empty override ignored")
            << 1 << QStringList{"ORVANT_COM1="} << ports << "/dev/ttyUSB2";
        QTest::newRow("another number's override")
            << 1 << QStringList{"ORVANT_COM11=/dev/pts/9", "ORVANT_COM10=/dev/pts/8"} << ports
            << "/dev/ttyUSB2";
        QTest::newRow("override of COM1 is not COM11")
            << 11 << QStringList{"ORVANT_COM1=/dev/pts/9"} << ports << "";
        QTest::newRow("no override below COM1")
            << 0 << QStringList{"ORVANT_COM0=/dev/pts/9"} << ports << "";
    }
    void comNumbers() {
        QFETCH(int, n);
        QFETCH(QStringList, environment);
        QFETCH(QStringList, ports);
        QFETCH(QString, device);
        QMap<QString, QString> env;
        for (const QString& entry : environment)
            env.insert(entry.section(QLatin1Char('='), 0, 0), entry.section(QLatin1Char('='), 1));
        const auto lookUp = [&](const QString& name) { return env.value(name); };
        QCOMPARE(comport::deviceFor(n, lookUp, ports), device);
    }

    // The process's own environment is what names a COM number.
    void comNumberFromEnvironment() {
        {
            ComName com(7, QStringLiteral("/dev/pts/77"));
            QCOMPARE(comport::deviceFor(7), QStringLiteral("/dev/pts/77"));
            QVERIFY(comport::deviceFor(17) != QStringLiteral("/dev/pts/77"));
        }
        ComName empty(7, QString());
        QStringList system;
        for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts())
            system << info.systemLocation();
        QCOMPARE(comport::deviceFor(7), comport::orderPorts(system).value(6));
    }

    void portOrder_data() {
        QTest::addColumn<QStringList>("ports");
        QTest::addColumn<QStringList>("ordered");
        QTest::newRow("adapters first, numbers by value")
            << QStringList{"/dev/ttyS10", "/dev/ttyUSB10", "/dev/ttyS0", "/dev/ttyACM0",
                           "/dev/ttyUSB2"}
            << QStringList{"/dev/ttyUSB2", "/dev/ttyUSB10", "/dev/ttyACM0", "/dev/ttyS0",
                           "/dev/ttyS10"};
        QTest::newRow("built-in modem after a plugged-in adapter")
            << QStringList{"ttyACM2", "ttyACM0", "ttyS0", "ttyUSB0", "ttyACM1"}
            << QStringList{"ttyUSB0", "ttyACM0", "ttyACM1", "ttyACM2", "ttyS0"};
        QTest::newRow("many adapters")
            << QStringList{"ttyUSB10", "ttyUSB9", "ttyUSB100", "ttyUSB1"}
            << QStringList{"ttyUSB1", "ttyUSB9", "ttyUSB10", "ttyUSB100"};
        QTest::newRow("bare names")
            << QStringList{"ttyS1", "ttyUSB0"} << QStringList{"ttyUSB0", "ttyS1"};
        QTest::newRow("ttyAMA is no adapter")
            << QStringList{"/dev/ttyAMA0", "/dev/ttyS0", "/dev/ttyACM1"}
            << QStringList{"/dev/ttyACM1", "/dev/ttyAMA0", "/dev/ttyS0"};
        QTest::newRow("other kinds after adapters")
            << QStringList{"/dev/rfcomm0", "/dev/ttyS0", "/dev/ttyUSB0"}
            << QStringList{"/dev/ttyUSB0", "/dev/rfcomm0", "/dev/ttyS0"};
        QTest::newRow("by name, not by directory")
            << QStringList{"/z/ttyUSB1", "/a/ttyUSB2", "/a/ttyS0"}
            << QStringList{"/z/ttyUSB1", "/a/ttyUSB2", "/a/ttyS0"};
        QTest::newRow("none") << QStringList() << QStringList();
    }
    void portOrder() {
        QFETCH(QStringList, ports);
        QFETCH(QStringList, ordered);
        QCOMPARE(comport::orderPorts(ports), ordered);
        // The order does not depend on the order the system lists them in.
        QStringList reversed(ports.rbegin(), ports.rend());
        QCOMPARE(comport::orderPorts(reversed), ordered);
    }

    void naturalOrder_data() {
        QTest::addColumn<QString>("a");
        QTest::addColumn<QString>("b");
        QTest::addColumn<bool>("less");
        QTest::newRow("2 before 10") << "ttyUSB2"
                                     << "ttyUSB10" << true;
        QTest::newRow("10 after 2") << "ttyUSB10"
                                    << "ttyUSB2" << false;
        QTest::newRow("9 before 10") << "ttyUSB9"
                                     << "ttyUSB10" << true;
        QTest::newRow("equal") << "ttyS1"
                               << "ttyS1" << false;
        QTest::newRow("letters decide first") << "ttyACM5"
                                              << "ttyUSB0" << true;
        QTest::newRow("prefix first") << "ttyS"
                                      << "ttyS0" << true;
        QTest::newRow("longer after prefix") << "ttyS0"
                                             << "ttyS" << false;
        QTest::newRow("empty first") << ""
                                     << "a" << true;
        QTest::newRow("both empty") << ""
                                    << "" << false;
        QTest::newRow("second number decides") << "x1y2"
                                               << "x1y10" << true;
        QTest::newRow("first number decides") << "x10y1"
                                              << "x9y2" << false;
        QTest::newRow("leading zero") << "ttyUSB01"
                                      << "ttyUSB2" << true;
        QTest::newRow("more than 64 bits") << "ttyUSB99999999999999999999"
                                           << "ttyUSB100000000000000000000" << true;
        QTest::newRow("more than 64 bits, reversed") << "ttyUSB100000000000000000000"
                                                     << "ttyUSB99999999999999999999" << false;
    }
    void naturalOrder() {
        QFETCH(QString, a);
        QFETCH(QString, b);
        QFETCH(bool, less);
        QCOMPARE(comport::naturalLess(a, b), less);
        if (less) QVERIFY(!comport::naturalLess(b, a));
    }
};

// Tries COM5 on the device as the user nobody and prints the error number
// and what was found: cause, device, group and detail, a line each.
int openAsNobody(const QString& device) {
    if (!becomeNobody()) return 2;
    ComName com(5, device);
    MSComm comm;
    comm.setCommPort(5);
    QTextStream out(stdout);
    comport::OpenFailure why;
    out << errorOf([&] { comm.setPortOpen(true); }, &why) << '\n'
        << why.cause << '\n'
        << why.device << '\n'
        << why.group << '\n'
        << why.detail;
    return 0;
}

int main(int argc, char* argv[]) {
    // Started by the test itself to hold a device as another program.
    if (argc == 3 && qstrcmp(argv[1], "--hold-port") == 0) {
        QCoreApplication app(argc, argv);
        return holdPort(QString::fromLocal8Bit(argv[2]));
    }
    if (argc == 3 && qstrcmp(argv[1], "--open-as-nobody") == 0) {
        QCoreApplication app(argc, argv);
        return openAsNobody(QString::fromLocal8Bit(argv[2]));
    }
    QCoreApplication app(argc, argv);
    TestMsComm test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_mscomm.moc"
