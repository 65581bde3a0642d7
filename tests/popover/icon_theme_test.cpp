// Finding application icons: by name in fake icon themes built in a temporary
// directory, each size drawn in its own colour so that a wrong choice shows,
// and drawing them from every form an application may name its icon in.

#include "icon_provider.h"
#include "icon_theme.h"
#include "support/files.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QPainter>
#include <QProcess>
#include <QSvgRenderer>
#include <QTemporaryDir>

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <zlib.h>

#include <atomic>
#include <ctime>
#include <ostream>
#include <thread>
#include <vector>

// For failures to name the colours.
static void PrintTo(const QColor& colour, std::ostream* out) { *out << colour.name(QColor::HexArgb).toStdString(); }

namespace {

QByteArray svg(const QColor& colour, QSize size = {16, 16})
{
    return QStringLiteral(R"(<svg xmlns="http://www.w3.org/2000/svg" width="%1" height="%2" viewBox="0 0 %1 %2">)"
                          R"(<rect width="%1" height="%2" fill="%3"/></svg>)")
        .arg(size.width())
        .arg(size.height())
        .arg(colour.name())
        .toUtf8();
}

QColor centreOf(const QImage& image) { return image.pixelColor(image.width() / 2, image.height() / 2); }

// The colour a found icon file was drawn in; invalid when there is no file.
QColor colourOf(const QString& file)
{
    if (file.isEmpty())
        return {};
    if (!file.endsWith(QLatin1String(".svg")))
        return centreOf(QImage(file));
    QImage image(8, 8, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    QSvgRenderer(file).render(&painter);
    painter.end();
    return centreOf(image);
}

class FakeIcons : public testing::Test {
protected:
    QString path(const QString& relative) const { return dir.filePath(relative); }

    // The full path, its folders made.
    QString place(const QString& relative) const
    {
        QDir().mkpath(QFileInfo(path(relative)).path());
        return path(relative);
    }

    QString write(const QString& relative, const QByteArray& contents) const { return writeFile(path(relative), contents); }

    QString png(const QString& relative, const QColor& colour, QSize size = {16, 16}) const
    {
        QImage image(size, QImage::Format_ARGB32);
        image.fill(colour);
        EXPECT_TRUE(image.save(place(relative), "PNG")) << relative.toStdString();
        return path(relative);
    }

    // Compressed with gzip, as .svgz files are.
    QString svgz(const QString& relative, const QByteArray& svg) const
    {
        gzFile file = gzopen(QFile::encodeName(place(relative)).constData(), "wb9");
        EXPECT_TRUE(file && gzwrite(file, svg.constData(), unsigned(svg.size())) == svg.size()) << relative.toStdString();
        EXPECT_EQ(gzclose(file), Z_OK);
        return path(relative);
    }

    QString fifo(const QString& relative) const
    {
        EXPECT_EQ(::mkfifo(QFile::encodeName(place(relative)).constData(), 0600), 0);
        return path(relative);
    }

    // "Current", inheriting from "Parent", which inherits back; hicolor; and
    // loose images. Each size of "player" in its own colour.
    void SetUp() override
    {
        write(QStringLiteral("user/Current/index.theme"), R"(
[Icon Theme]
Name=Current
Inherits=Parent
Directories=16x16/apps,48x48/apps,scalable/apps,24x24@2/apps,32x32/apps

[16x16/apps]
Size=16
Type=Fixed

[48x48/apps]
Size=48
Type=Fixed

[scalable/apps]
Size=64
MinSize=64
MaxSize=256
Type=Scalable

[24x24@2/apps]
Size=24
Scale=2
Type=Fixed

# A threshold directory: 30 to 34.
[32x32/apps]
Size=32
)");
        png(QStringLiteral("user/Current/16x16/apps/player.png"), Qt::red);
        png(QStringLiteral("user/Current/48x48/apps/player.png"), Qt::green);
        write(QStringLiteral("user/Current/scalable/apps/player.svg"), svg(Qt::blue));
        png(QStringLiteral("user/Current/24x24@2/apps/player.png"), Qt::yellow);
        png(QStringLiteral("user/Current/32x32/apps/player.png"), Qt::magenta);
        png(QStringLiteral("user/Current/48x48/apps/org.example.Player.png"), Qt::darkCyan);
        // The rest of the theme, installed in another base directory.
        png(QStringLiteral("data/Current/48x48/apps/web-player.png"), Qt::darkYellow, {20, 10});

        write(QStringLiteral("data/Parent/index.theme"),
              "[Icon Theme]\nInherits=Current,hicolor\nDirectories=48x48/apps\n[48x48/apps]\nSize=48\nType=Fixed\n");
        png(QStringLiteral("data/Parent/48x48/apps/parent-only.png"), Qt::darkRed);
        write(QStringLiteral("data/hicolor/index.theme"),
              "[Icon Theme]\nDirectories=48x48/apps\n[48x48/apps]\nSize=48\nType=Fixed\n");
        png(QStringLiteral("data/hicolor/48x48/apps/player.png"), Qt::cyan);
        png(QStringLiteral("data/hicolor/48x48/apps/hicolor-only.png"), Qt::darkGreen);
        png(QStringLiteral("pixmaps/loose.png"), Qt::darkBlue);
    }

    IconTheme theme(const QString& name = QStringLiteral("Current")) const
    {
        return IconTheme(name,
                         {path(QStringLiteral("user")), path(QStringLiteral("data")), path(QStringLiteral("pixmaps"))});
    }

    QTemporaryDir dir;
};

using IconThemeTest = FakeIcons;
using DesktopIconSourceTest = FakeIcons;

TEST_F(IconThemeTest, FindsTheDirectoryMadeForTheSizeElseTheClosestThenInheritedThemesHicolorAndLooseImages)
{
    // One instance each, asked again and again, as its answers are remembered.
    const IconTheme current = theme(), none = theme(QString());
    EXPECT_EQ(current.searchOrder(), (QStringList{"Current", "Parent", "hicolor"})) << "each once, despite the loop";
    EXPECT_EQ(theme(QStringLiteral("../data/hicolor")).searchOrder(), QStringList{"hicolor"});
    const struct {
        const IconTheme& theme;
        const char* name;
        int size, scale;
        QColor colour;
        const char* why;
    } cases[] = {{current, "player", 16, 1, Qt::red, "fixed"},
                 {current, "player", 48, 1, Qt::green, "fixed, before hicolor's"},
                 {current, "player", 100, 1, Qt::blue, "scalable"},
                 {current, "player", 24, 2, Qt::yellow, "scaled"},
                 {current, "player", 31, 1, Qt::magenta, "within the threshold"},
                 {current, "player", 20, 1, Qt::red, "closest: 16"},
                 {current, "player", 40, 1, Qt::magenta, "closest: the threshold's 34, not its nominal 32"},
                 {current, "player", 600, 1, Qt::blue, "closest: the scalable range's 256"},
                 {current, "web-player", 48, 1, Qt::darkYellow, "the theme's other base directory"},
                 {current, "parent-only", 48, 1, Qt::darkRed, "inherited"},
                 {current, "hicolor-only", 16, 1, Qt::darkGreen, "hicolor, at its closest size"},
                 {current, "loose", 48, 1, Qt::darkBlue, "a loose image"},
                 {current, "missing", 48, 1, QColor(), "nowhere"},
                 {current, "../pixmaps/loose", 48, 1, QColor(), "a path is no name"},
                 {none, "player", 48, 1, Qt::cyan, "no theme: hicolor"}};
    for (const auto& c : cases)
        EXPECT_EQ(colourOf(c.theme.lookup(QLatin1String(c.name), c.size, c.scale)), c.colour)
            << c.name << " " << c.size << "@" << c.scale << ": " << c.why;
}

// The index GTK's tools write of a theme spares the disk a look for every
// icon it lacks; one older than the theme's directories, or unreadable, is
// not trusted.
TEST_F(IconThemeTest, TrustsTheThemesCacheOnlyWhileItIsSoundAndNewer)
{
    const QString hicolor = path(QStringLiteral("data/hicolor"));
    // Enough names that every bucket has a chain to follow.
    for (int i = 0; i < 40; ++i)
        png(QStringLiteral("data/hicolor/48x48/apps/filler-%1.png").arg(i), Qt::black);
    ASSERT_EQ(QProcess::execute(QStringLiteral("gtk-update-icon-cache"), {QStringLiteral("-f"), QStringLiteral("-q"), hicolor}), 0);
    const QString apps = hicolor + QStringLiteral("/48x48/apps");
    const QString cache = hicolor + QStringLiteral("/icon-theme.cache");
    const qint64 now = std::time(nullptr);
    const auto setModified = [](const QString& file, qint64 seconds, long nanoseconds = 0) {
        const timespec at{seconds, nanoseconds};
        const timespec times[2] = {at, at};
        ASSERT_EQ(::utimensat(AT_FDCWD, QFile::encodeName(file).constData(), times, 0), 0);
    };
    // An icon added behind the cache's back, its folder's time put back.
    png(QStringLiteral("data/hicolor/48x48/apps/uncached.png"), Qt::darkMagenta);
    const auto sound = [&] {
        for (const QString& dir : {hicolor, apps})
            setModified(dir, now - 60);
        setModified(cache, now - 30);
    };
    sound();
    const auto found = [&](const QString& name) { return colourOf(theme().lookup(name, 48)); };
    EXPECT_EQ(found(QStringLiteral("hicolor-only")), QColor(Qt::darkGreen)) << "listed in the cache";
    EXPECT_EQ(found(QStringLiteral("uncached")), QColor()) << "a sound cache that lacks it is believed";

    setModified(apps, now - 30, 500'000'000);
    EXPECT_EQ(found(QStringLiteral("uncached")), QColor(Qt::darkMagenta)) << "a folder changed since, in the same second";

    // Broken four ways: the table's place outside the file, its buckets,
    // another version, a chain that loops.
    const auto corrupt = [&](qint64 at, const QByteArray& bytes) {
        QFile file(cache);
        if (!file.open(QIODevice::ReadWrite)) {
            ADD_FAILURE() << "cannot write " << cache.toStdString();
            return QByteArray();
        }
        const QByteArray original = file.readAll();
        file.seek(at);
        file.write(bytes);
        return original;
    };
    QByteArray original;
    const auto word = [&](quint32 at) {
        return quint32(uchar(original[at])) << 24 | quint32(uchar(original[at + 1])) << 16
             | quint32(uchar(original[at + 2])) << 8 | uchar(original[at + 3]);
    };
    const auto bytes = [](quint32 value) {
        const char big[] = {char(value >> 24), char(value >> 16), char(value >> 8), char(value)};
        return QByteArray(big, 4);
    };
    for (int way = 0; way < 4; ++way) {
        SCOPED_TRACE(way);
        if (way == 0) {
            original = corrupt(4, QByteArray(4, '\xee'));
        } else if (way == 1) {
            corrupt(0, original);
            // So many that the name's bucket lies past the end.
            corrupt(word(4), QByteArray(4, '\x7f'));
        } else if (way == 2) {
            corrupt(0, original);
            corrupt(0, QByteArray("\0\2\0\0", 4));
        } else {
            corrupt(0, original);
            // Every bucket leads to the first bucket's first icon, which leads to itself.
            const quint32 hashAt = word(4);
            const quint32 first = word(hashAt + 4);
            ASSERT_NE(first, 0xffffffffu);
            corrupt(first, bytes(first));
            for (quint32 bucket = 0; bucket < word(hashAt); ++bucket)
                corrupt(hashAt + 4 + 4 * bucket, bytes(first));
        }
        sound();
        EXPECT_EQ(found(QStringLiteral("uncached")), QColor(Qt::darkMagenta)) << "a cache that does not read is not believed";
        EXPECT_EQ(found(QStringLiteral("hicolor-only")), QColor(Qt::darkGreen));
    }
}

TEST_F(DesktopIconSourceTest, DrawsBundlesImageFilesAndThemeNamesAtTheRequestedSize)
{
    const DesktopIconSource icons(theme());
    const QString wide = png(QStringLiteral("opt/wide.png"), Qt::red, {20, 10});
    const QString vector = write(QStringLiteral("opt/wide.svg"), svg(Qt::blue, {20, 10}));
    const QString compressed = svgz(QStringLiteral("opt/logo.svgz"), svg(Qt::green));
    const std::tuple<QString, QSize, QColor> cases[] = {
        {QStringLiteral("/Applications/Web Player.app"), {48, 48}, Qt::darkYellow},
        {wide, {40, 40}, Qt::red},
        {vector, {40, 40}, Qt::blue},
        {compressed, {32, 32}, Qt::green},
        {QStringLiteral("org.example.Player"), {48, 48}, Qt::darkCyan},
        {QStringLiteral("player"), {16, 16}, Qt::red},
        {QStringLiteral("player.png"), {48, 48}, Qt::green},
        {QStringLiteral("player"), {}, Qt::blue}};
    for (const auto& [key, size, colour] : cases) {
        EXPECT_TRUE(icons.hasIcon(key)) << key.toStdString();
        const QImage image = icons.icon(key, size);
        EXPECT_EQ(image.size(), size.isValid() ? size : QSize(64, 64)) << key.toStdString();
        EXPECT_EQ(centreOf(image), colour) << key.toStdString();
    }
    EXPECT_EQ(icons.icon(wide, {40, 40}).pixelColor(20, 5).alpha(), 0) << "kept wide, centred";
    EXPECT_EQ(icons.icon(vector, {40, 40}).pixelColor(20, 5).alpha(), 0) << "kept wide, centred";
    EXPECT_TRUE(icons.hasIcon(QStringLiteral("/Applications/Music.app"))) << "shipped with the program";
    EXPECT_EQ(centreOf(icons.icon(QStringLiteral("/Applications/Music.app"), {32, 32})).alpha(), 255);

    for (const char* missing : {"/Applications/Nothing.app", "nothing", ""}) {
        EXPECT_FALSE(icons.hasIcon(QLatin1String(missing))) << missing;
        EXPECT_TRUE(icons.icon(QLatin1String(missing), {32, 32}).isNull()) << missing;
    }
}

TEST_F(DesktopIconSourceTest, RefusesHostileUnreadableOrHugeFilesWithoutBlocking)
{
    const DesktopIconSource icons(theme());
    const QString red = png(QStringLiteral("opt/red.png"), Qt::red);
    QFile huge(write(QStringLiteral("opt/huge.png"), {}));
    ASSERT_TRUE(huge.resize(DesktopIconSource::kMaxFileBytes + 1));
    QDir().mkpath(path(QStringLiteral("opt/folder.png")));
    const QStringList refused{
        QStringLiteral("opt/red.png"),
        path(QStringLiteral("opt/../opt/red.png")),
        path(QStringLiteral("opt/folder.png")),
        fifo(QStringLiteral("opt/pipe.png")),
        huge.fileName(),
        write(QStringLiteral("opt/notes.txt"), "not an image"),
        QFileInfo(fifo(QStringLiteral("user/Current/48x48/apps/piped.png"))).baseName()};
    for (const QString& key : refused) {
        EXPECT_FALSE(icons.hasIcon(key)) << key.toStdString();
        EXPECT_TRUE(icons.icon(key, {32, 32}).isNull()) << key.toStdString();
    }

    // Found, but not to be decoded: too many pixels, or SVG that would unpack
    // into more than the file limit, or not an image at all.
    const QString tooWide = png(QStringLiteral("opt/too-wide.png"), Qt::red, {DesktopIconSource::kMaxImageSide + 1, 1});
    const QByteArray padding(DesktopIconSource::kMaxFileBytes, ' ');
    const QString bomb = svgz(QStringLiteral("opt/bomb.svgz"), svg(Qt::red).replace("<rect", padding + "<rect"));
    const QString corrupt = write(QStringLiteral("opt/corrupt.png"), "\x89PNG but not really");
    for (const QString& key : {tooWide, bomb, corrupt})
        EXPECT_TRUE(icons.icon(key, {32, 32}).isNull()) << key.toStdString();
    EXPECT_EQ(centreOf(icons.icon(red, {32, 32})), QColor(Qt::red)) << "a sound file still draws";

    fifo(QStringLiteral("pipes/Piped/index.theme"));
    EXPECT_EQ(IconTheme(QStringLiteral("Piped"), {path(QStringLiteral("pipes"))}).lookup(QStringLiteral("player"), 48),
              QString());
}

// QtSvg follows what a document refers to by itself, past the checks on the
// file asked for: an image in a FIFO blocked the loading thread for good, a
// huge one took its memory. Only what is written into the document draws.
TEST_F(DesktopIconSourceTest, DrawsSvgOnlyWhenItRefersToNothingOutsideItself)
{
    const DesktopIconSource icons(theme());
    const QByteArray pipe = fifo(QStringLiteral("opt/pipe.png")).toUtf8();
    // Within the limit in width, far past it in height: each side is measured.
    QImage huge(1000, 33000, QImage::Format_Mono);
    huge.fill(0);
    ASSERT_TRUE(huge.save(place(QStringLiteral("opt/huge.png")), "PNG"));
    const QByteArray big = path(QStringLiteral("opt/huge.png")).toUtf8();
    QImage dot(1, 1, QImage::Format_ARGB32);
    dot.fill(Qt::blue);
    QBuffer dotPng;
    dotPng.open(QIODevice::WriteOnly);
    ASSERT_TRUE(dot.save(&dotPng, "PNG"));
    const QByteArray dotData = dotPng.data().toBase64();
    const QByteArray hugeData = [&] {
        QFile file(QString::fromUtf8(big));
        return file.open(QIODevice::ReadOnly) ? file.readAll().toBase64() : QByteArray();
    }();
    const auto image = [](const QByteArray& attributes) {
        return R"(<image width="16" height="16" )" + attributes + "/>";
    };
    const auto pngData = [](const QByteArray& base64) { return "\"data:image/png;base64," + base64 + '"'; };

    const auto document = [](const QByteArray& body, const QByteArray& prologue = {}) {
        return prologue + R"(<svg xmlns="http://www.w3.org/2000/svg" xmlns:xlink="http://www.w3.org/1999/xlink" )"
                          R"(width="16" height="16">)" + body + "</svg>";
    };
    const QByteArray blue = R"(<rect width="16" height="16" fill="#0000ff"/>)";
    const QByteArray drawn[] = {
        document(R"(<defs><linearGradient id="g"><stop offset="0" stop-color="#0000ff"/></linearGradient></defs>)"
                 R"x(<rect width="16" height="16" fill="url(#g)"/>)x"),
        document(blue + R"(<image width="1" height="1" xlink:href="data:image/png;base64,)"
                 + dotPng.data().toBase64() + R"("/>)"),
        // Wrapped, as some editors write it: XML hands the line breaks on as spaces.
        document(blue + image("xlink:href=" + pngData(dotData.left(8) + "\n  " + dotData.mid(8)))),
    };
    const QByteArray refused[] = {
        document(R"(<image width="16" height="16" xlink:href=")" + pipe + R"("/>)"),
        document(R"(<image width="16" height="16" href="file://)" + big + R"("/>)"),
        document(R"(<image width="16" height="16"/>)"),
        document(image("href=" + pngData(hugeData))),
        // Measured where QtSvg reads it: "xlink:href" by its written name,
        // whatever it is bound to, and the data after the last "base64,".
        document(image(R"(xmlns:xlink="urn:other" xmlns:x="http://www.w3.org/1999/xlink" x:href=)" + pngData(dotData)
                       + " xlink:href=" + pngData(hugeData))),
        document(image(R"(xmlns:xlink="urn:other" href=)" + pngData(dotData) + " xlink:href=" + pngData(hugeData))),
        document(image("xlink:href=" + pngData(dotData + ",base64," + hugeData))),
        document(image("xlink:href=" + pngData(dotData + '*'))),
        document(image("xlink:href=" + pngData(dotData).replace("data:", "DATA:"))),
        // An SVG inside would be drawn by QtSvg, with whatever it refers to.
        document(image(R"(xlink:href="data:image/svg+xml;base64,)"
                       + document(image(R"(xlink:href=")" + big + '"')).toBase64() + '"')),
        document(R"(<use xlink:href="other.svg#icon"/>)"),
        document(R"x(<rect width="16" height="16" fill="URL()x" + big + R"x()"/>)x"),
        document("<style>@import \"theme.css\";</style>" + blue),
        document(R"x(<rect width="16" height="16" style="fill: u\72l(x.svg)"/>)x"),
        document(blue + "&e;", "<!DOCTYPE svg [<!ENTITY e SYSTEM \"" + pipe + "\">]>"),
        document(blue, "<?xml-stylesheet href=\"theme.css\"?>"),
        document(blue + "<rect"),
    };
    int n = 0;
    for (const QByteArray& svg : drawn) {
        const QString file = write(QStringLiteral("opt/drawn%1.svg").arg(n++), svg);
        EXPECT_EQ(centreOf(icons.icon(file, {16, 16})), QColor(Qt::blue)) << svg.toStdString();
    }
    for (const QByteArray& svg : refused) {
        const QString file = write(QStringLiteral("opt/refused%1.svg").arg(n++), svg);
        EXPECT_TRUE(icons.icon(file, {16, 16}).isNull()) << svg.toStdString();
    }
    EXPECT_TRUE(icons.icon(svgz(QStringLiteral("opt/refused.svgz"), refused[0]), {16, 16}).isNull())
        << "checked once inflated";
}

TEST_F(DesktopIconSourceTest, AnswersManyThreadsAtOnce)
{
    const DesktopIconSource icons(theme());
    const std::pair<const char*, QColor> expected[] = {
        {"player", Qt::green}, {"web-player", Qt::darkYellow}, {"loose", Qt::darkBlue}, {"missing", QColor()}};
    std::vector<std::thread> threads;
    std::atomic<int> wrong = 0;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 25; ++i) {
                for (const auto& [key, colour] : expected) {
                    const QImage image = icons.icon(QLatin1String(key), {48, 48});
                    wrong += icons.hasIcon(QLatin1String(key)) != colour.isValid()
                        || (colour.isValid() ? centreOf(image) != colour : !image.isNull());
                }
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(wrong, 0);
}

} // namespace
