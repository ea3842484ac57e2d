// The embedded icon (:/logo.ico) and the Windows resource script that carries the same icon
// and the version block into corvane.exe.
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

namespace {

constexpr int kIcoSize = 16958;
constexpr int kImageOffset = 22; // ICONDIR (6) + one ICONDIRENTRY (16)
constexpr int kImageSize = 16936; // BITMAPINFOHEADER (40) + 64*64*4 colour + 64*8 AND mask

constexpr int kRtIcon = 3;
constexpr int kRtGroupIcon = 14;
constexpr int kRtVersion = 16;
constexpr int kEnglishUs = 1033;

// Little-endian unsigned field of 1, 2 or 4 bytes; -1 when it lies outside the data.
qint64 field(const QByteArray &data, int offset, int width)
{
    if (offset < 0 || offset + width > data.size())
        return -1;
    const auto *p = reinterpret_cast<const uchar *>(data.constData()) + offset;
    switch (width) {
    case 1:
        return *p;
    case 2:
        return qFromLittleEndian<quint16>(p);
    default:
        return qFromLittleEndian<quint32>(p);
    }
}

int align4(int offset)
{
    return (offset + 3) & ~3;
}

// A NUL-terminated UTF-16LE string starting at offset; offset moves past the terminator.
QString utf16At(const QByteArray &data, int &offset, int end)
{
    QString s;
    for (; offset + 2 <= end; offset += 2) {
        const auto unit = ushort(field(data, offset, 2));
        if (unit == 0) {
            offset += 2;
            return s;
        }
        s.append(QChar(unit));
    }
    return s;
}

// A type or name in a resource header: 0xFFFF and a number, or a string.
struct ResId
{
    int number = -1;
    QString name;
};

struct Resource
{
    ResId type;
    ResId name;
    int language = -1;
    QByteArray data;
};

ResId readId(const QByteArray &data, int &offset, int end)
{
    ResId id;
    if (field(data, offset, 2) == 0xFFFF) {
        id.number = int(field(data, offset + 2, 2));
        offset += 4;
    } else {
        id.name = utf16At(data, offset, end);
    }
    return id;
}

// A .res file: RESOURCEHEADER + data, each record starting on a 32-bit boundary.
bool parseRes(const QByteArray &res, QVector<Resource> &out)
{
    int offset = 0;
    while (offset + 8 <= res.size()) {
        const qint64 dataSize = field(res, offset, 4);
        const qint64 headerSize = field(res, offset + 4, 4);
        if (headerSize < 16 || offset + headerSize + dataSize > res.size())
            return false;
        const int headerEnd = offset + int(headerSize);
        int p = offset + 8;
        Resource r;
        r.type = readId(res, p, headerEnd);
        r.name = readId(res, p, headerEnd);
        p = align4(p);
        // DataVersion (4), MemoryFlags (2), LanguageId (2), Version (4), Characteristics (4)
        if (p + 16 > headerEnd)
            return false;
        r.language = int(field(res, p + 6, 2));
        r.data = res.mid(headerEnd, int(dataSize));
        out << r;
        offset = align4(headerEnd + int(dataSize));
    }
    return offset == res.size();
}

// One node of a VS_VERSIONINFO tree: wLength, wValueLength, wType, key, value, children.
struct VersionNode
{
    QString key;
    QByteArray value;
    bool text = false;
    QVector<VersionNode> children;

    QString textValue() const
    {
        int offset = 0;
        return utf16At(value, offset, value.size());
    }
    const VersionNode *child(const QString &k) const
    {
        for (const VersionNode &c : children) {
            if (c.key == k)
                return &c;
        }
        return nullptr;
    }
};

bool parseVersionNode(const QByteArray &data, int offset, int limit, VersionNode &node)
{
    const qint64 length = field(data, offset, 2);
    if (length < 6 || offset + length > limit)
        return false;
    const int end = offset + int(length);
    const int valueLength = int(field(data, offset + 2, 2));
    node.text = field(data, offset + 4, 2) == 1;
    int p = offset + 6;
    node.key = utf16At(data, p, end);
    p = align4(p);
    // Text values count 16-bit units, binary values count bytes.
    const int valueBytes = node.text ? 2 * valueLength : valueLength;
    if (p + valueBytes > end)
        return false;
    node.value = data.mid(p, valueBytes);
    p = align4(p + valueBytes);
    // Zero wLength marks padding at the end of a leaf, never a real child.
    while (p + 6 <= end && field(data, p, 2) != 0) {
        VersionNode child;
        if (!parseVersionNode(data, p, end, child))
            return false;
        p = align4(p + int(field(data, p, 2)));
        node.children << child;
    }
    return true;
}

const Resource *findResource(const QVector<Resource> &all, int type, const ResId &name)
{
    for (const Resource &r : all) {
        if (r.type.number == type && r.name.number == name.number && r.name.name == name.name)
            return &r;
    }
    return nullptr;
}

// The version tree of the RT_VERSION resource with id 1 (VS_VERSION_INFO).
bool versionTree(const QVector<Resource> &res, VersionNode &root, int &language)
{
    const Resource *version = findResource(res, kRtVersion, {1, {}});
    if (!version)
        return false;
    language = version->language;
    return parseVersionNode(version->data, 0, version->data.size(), root);
}

void addFieldColumns()
{
    QTest::addColumn<int>("offset");
    QTest::addColumn<int>("width");
    QTest::addColumn<qint64>("expected");
}

void fieldRow(const char *name, int offset, int width, qint64 expected)
{
    QTest::newRow(name) << offset << width << expected;
}

// The directory and its one entry, the same in the ICO file and the icon group up to the
// entry's last field (a file offset in the one, a resource id in the other).
void directoryRows()
{
    fieldRow("directory reserved", 0, 2, 0);
    fieldRow("directory type icon", 2, 2, 1);
    fieldRow("directory count", 4, 2, 1);
    fieldRow("entry width", 6, 1, 64);
    fieldRow("entry height", 7, 1, 64);
    fieldRow("entry colour count", 8, 1, 0);
    fieldRow("entry reserved", 9, 1, 0);
    fieldRow("entry planes", 10, 2, 1);
    fieldRow("entry bit count", 12, 2, 32);
    fieldRow("entry bytes", 14, 4, kImageSize);
}

} // namespace

class TstResources : public QObject
{
    Q_OBJECT

    QByteArray m_ico;
    QVector<Resource> m_res;
    QString m_windresMissing;

private slots:
    void initTestCase();
    // Skips the tests of the compiled script when windres is not around.
    void init()
    {
        const QByteArrayList logoOnly{"icoHeader", "icoImageIsBitmapNotPng"};
        if (!m_windresMissing.isEmpty() && !logoOnly.contains(QTest::currentTestFunction()))
            QSKIP(qPrintable(m_windresMissing));
    }

    void icoHeader_data();
    void icoHeader();
    void icoImageIsBitmapNotPng();

    void groupIcon_data();
    void groupIcon();
    void iconImageMatchesLogo();
    void fixedFileInfo_data();
    void fixedFileInfo();
    void versionStrings_data();
    void versionStrings();
    void versionTranslation();
};

void TstResources::initTestCase()
{
    QFile logo(QStringLiteral(":/logo.ico"));
    QVERIFY2(logo.open(QIODevice::ReadOnly), "the logo is not embedded");
    m_ico = logo.readAll();
    QCOMPARE(m_ico.size(), kIcoSize);

    const QString windres = QStringLiteral(CORVANE_WINDRES);
    if (windres.isEmpty()) {
        m_windresMissing = QStringLiteral("x86_64-w64-mingw32-windres (or windres) not found at "
                                          "configure time; corvane.rc not checked");
        return;
    }
    QStringList args;
    // A cross windres without its own cross gcc needs the host compiler as preprocessor.
    const QString preprocessor = QStringLiteral(CORVANE_RC_PREPROCESSOR);
    if (!preprocessor.isEmpty())
        args << "--preprocessor=" + preprocessor << "--preprocessor-arg=-E"
             << "--preprocessor-arg=-xc"
             << "--preprocessor-arg=-DRC_INVOKED";
    QTemporaryDir out;
    QVERIFY(out.isValid());
    const QString resPath = out.filePath(QStringLiteral("corvane.res"));
    args << "-O"
         << "res"
         << "corvane.rc" << resPath;

    QProcess process;
    process.setWorkingDirectory(QStringLiteral(CORVANE_RESOURCE_DIR)); // logo.ico is relative
    process.start(windres, args);
    QVERIFY2(process.waitForFinished(60000), qPrintable(process.errorString()));
    QVERIFY2(process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0,
             process.readAllStandardError().constData());

    QFile res(resPath);
    QVERIFY(res.open(QIODevice::ReadOnly));
    QVERIFY2(parseRes(res.readAll(), m_res), "malformed .res file");
}

void TstResources::icoHeader_data()
{
    addFieldColumns();
    directoryRows();
    fieldRow("entry offset", 18, 4, kImageOffset);
    fieldRow("BITMAPINFOHEADER size", 22, 4, 40);
    fieldRow("bitmap width", 26, 4, 64);
    fieldRow("bitmap height (colour + mask)", 30, 4, 128);
    fieldRow("bitmap planes", 34, 2, 1);
    fieldRow("bitmap bit count", 36, 2, 32);
    fieldRow("bitmap compression BI_RGB", 38, 4, 0);
}

void TstResources::icoHeader()
{
    QFETCH(int, offset);
    QFETCH(int, width);
    QFETCH(qint64, expected);
    QCOMPARE(field(m_ico, offset, width), expected);
}

void TstResources::icoImageIsBitmapNotPng()
{
    QVERIFY(!m_ico.mid(kImageOffset).startsWith("\x89PNG"));
    QCOMPARE(kImageOffset + kImageSize, m_ico.size());
    // As its BITMAPINFOHEADER gives it: the colour pixels, then the mask's rows of 32-bit words.
    const qint64 w = field(m_ico, 26, 4), h = field(m_ico, 30, 4) / 2, bits = field(m_ico, 36, 2);
    QCOMPARE(field(m_ico, 22, 4) + w * h * bits / 8 + h * ((w + 31) / 32 * 4), qint64(kImageSize));
}

// GRPICONDIR mirrors ICONDIR; its 14-byte entry ends with the RT_ICON id instead of an offset.
void TstResources::groupIcon_data()
{
    addFieldColumns();
    directoryRows();
}

void TstResources::groupIcon()
{
    QFETCH(int, offset);
    QFETCH(int, width);
    QFETCH(qint64, expected);
    const Resource *group = findResource(m_res, kRtGroupIcon, {-1, QStringLiteral("IDI_ICON1")});
    QVERIFY2(group, "no RT_GROUP_ICON named IDI_ICON1");
    QCOMPARE(group->language, kEnglishUs);
    QCOMPARE(group->data.size(), 6 + 14);
    QCOMPARE(field(group->data, offset, width), expected);
}

void TstResources::iconImageMatchesLogo()
{
    const Resource *group = findResource(m_res, kRtGroupIcon, {-1, QStringLiteral("IDI_ICON1")});
    QVERIFY(group);
    const Resource *icon = findResource(m_res, kRtIcon, {int(field(group->data, 18, 2)), {}});
    QVERIFY2(icon, "the group entry points at no RT_ICON");
    QCOMPARE(icon->language, kEnglishUs);
    QCOMPARE(icon->data.size(), kImageSize);
    QVERIFY(icon->data == m_ico.mid(kImageOffset));
}

void TstResources::fixedFileInfo_data()
{
    QTest::addColumn<int>("index"); // DWORD index into VS_FIXEDFILEINFO
    QTest::addColumn<qint64>("expected");

    QTest::newRow("signature") << 0 << qint64(0xFEEF04BD);
    QTest::newRow("file version MS") << 2 << qint64(0);
    QTest::newRow("file version LS") << 3 << qint64(0);
    QTest::newRow("product version MS") << 4 << qint64(0);
    QTest::newRow("product version LS") << 5 << qint64(0);
    QTest::newRow("flags mask") << 6 << qint64(0x3f);
    QTest::newRow("flags") << 7 << qint64(0);
    QTest::newRow("OS VOS__WINDOWS32") << 8 << qint64(0x4);
    QTest::newRow("type VFT_APP") << 9 << qint64(0x1);
    QTest::newRow("subtype") << 10 << qint64(0);
}

void TstResources::fixedFileInfo()
{
    QFETCH(int, index);
    QFETCH(qint64, expected);
    VersionNode root;
    int language = -1;
    QVERIFY2(versionTree(m_res, root, language), "no well-formed RT_VERSION resource 1");
    QCOMPARE(language, kEnglishUs);
    QCOMPARE(root.key, QStringLiteral("VS_VERSION_INFO"));
    QCOMPARE(root.value.size(), 52);
    QCOMPARE(field(root.value, 4 * index, 4), expected);
}

void TstResources::versionStrings_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");

    const char *const strings[][2] = {
        {"CompanyName", ""},
        {"FileDescription", ""},
        {"FileVersion", "0.0.0.0"},
        {"LegalCopyright", ""},
        {"OriginalFilename", "corvane.exe"},
        {"ProductName", "Corvane"},
        {"ProductVersion", "0.0.0.0"},
    };
    int index = 0;
    for (const auto &s : strings) {
        QTest::newRow(s[0]) << index++ << QString::fromLatin1(s[0]) << QString::fromLatin1(s[1]);
    }
}

void TstResources::versionStrings()
{
    QFETCH(int, index);
    QFETCH(QString, key);
    QFETCH(QString, value);
    VersionNode root;
    int language = -1;
    QVERIFY(versionTree(m_res, root, language));
    const VersionNode *info = root.child(QStringLiteral("StringFileInfo"));
    QVERIFY(info);
    QCOMPARE(info->children.size(), 1);
    const VersionNode *table = info->child(QStringLiteral("040904b0"));
    QVERIFY(table);
    QCOMPARE(table->children.size(), 7);
    const VersionNode &entry = table->children.at(index);
    QCOMPARE(entry.key, key);
    QVERIFY(entry.text);
    QCOMPARE(entry.textValue(), value);
}

void TstResources::versionTranslation()
{
    VersionNode root;
    int language = -1;
    QVERIFY(versionTree(m_res, root, language));
    const VersionNode *var = root.child(QStringLiteral("VarFileInfo"));
    QVERIFY(var);
    const VersionNode *translation = var->child(QStringLiteral("Translation"));
    QVERIFY(translation);
    QCOMPARE(translation->value.size(), 4);
    QCOMPARE(field(translation->value, 0, 2), qint64(0x409));
    QCOMPARE(field(translation->value, 2, 2), qint64(1200));
}

QTEST_GUILESS_MAIN(TstResources)
#include "tst_resources.moc"
