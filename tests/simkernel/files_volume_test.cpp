/*
 * files_volume_test.cpp - adding and removing volumes.
 */
#include "tests/simkernel/files_fixture.h"

#include "simkernel/objects.h"

namespace qtest {
namespace {

class FilesVolume : public FilesTest {};

TEST_F(FilesVolume, AddAndRemove)
{
    EXPECT_EQ(sk::VolumeHostRoot(u"\\device\\harddiskvolume1"), std::filesystem::canonical(Host("")).string());
    EXPECT_STATUS(STATUS_OBJECT_NAME_COLLISION, sk::AddVolume(u"\\Device\\HarddiskVolume1", Host("")));
    EXPECT_STATUS(STATUS_OBJECT_PATH_NOT_FOUND, sk::AddVolume(u"\\Device\\HarddiskVolume3", Host("none")));
    WriteHost("file", "");
    EXPECT_STATUS(STATUS_OBJECT_PATH_NOT_FOUND, sk::AddVolume(u"\\Device\\HarddiskVolume3", Host("file")));
    EXPECT_STATUS(STATUS_INVALID_PARAMETER, sk::AddVolume(u"\\Device\\HarddiskVolume3", Host(""), u'1'));
    /* A taken drive letter leaves no half-made volume behind. */
    EXPECT_STATUS(STATUS_OBJECT_NAME_COLLISION, sk::AddVolume(u"\\Device\\HarddiskVolume3", Host(""), u'c'));
    EXPECT_FALSE(sk::VolumeHostRoot(u"\\Device\\HarddiskVolume3"));
    ASSERT_STATUS(STATUS_SUCCESS, sk::AddVolume(u"\\Device\\HarddiskVolume3", Host(""), u'e'));
    EXPECT_EQ(sk::LinkTarget(u"\\GLOBAL??\\E:"), std::u16string(u"\\Device\\HarddiskVolume3"));
    HANDLE h;
    ASSERT_STATUS(STATUS_SUCCESS, Create(&h, u"\\??\\E:\\file", FILE_READ_DATA, 0, FILE_OPEN));
    EXPECT_EQ(sk::OpenFileObjectCount(), 1u);
    Close(h);

    sk::RemoveVolumes();
    EXPECT_FALSE(sk::ObjectExists(u"\\GLOBAL??\\E:"));
    EXPECT_FALSE(sk::ObjectExists(u"\\Device\\HarddiskVolume1"));
    EXPECT_STATUS(STATUS_OBJECT_PATH_NOT_FOUND, Create(&h, u"\\??\\C:\\file", FILE_READ_DATA, 0, FILE_OPEN));
    EXPECT_TRUE(HostExists("file"));
}

} // namespace
} // namespace qtest
