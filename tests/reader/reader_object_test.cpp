#include <gtest/gtest.h>

#include <string>

#include "platform/component.h"
#include "platform/errors.h"
#include "reader/vq_ofx_reader.h"

namespace kvr {
namespace {

TEST(ReaderObject, NewReaderIsEmpty) {
  TVQOFXReader reader(nullptr);
  EXPECT_EQ(reader.Count(), 0);
  EXPECT_EQ(reader.OFXFile, "");
  EXPECT_EQ(reader.Banco, "");
  EXPECT_EQ(reader.Conta, "");
  EXPECT_EQ(reader.DataIncial, 0.0);
  EXPECT_EQ(reader.DataFinal, 0.0);
  EXPECT_EQ(reader.ValorIncial, 0.0);
  EXPECT_EQ(reader.ValorFinal, 0.0);
  reader.Clear();
  EXPECT_EQ(reader.Count(), 0);
}

TEST(ReaderObject, RecordsKeepTheirOrderAndMoveUpOnDelete) {
  TVQOFXReader reader(nullptr);
  TOFXItem* first = reader.Add();
  TOFXItem* second = reader.Add();
  TOFXItem* third = reader.Add();
  EXPECT_EQ(first->TrnType, "");
  EXPECT_EQ(first->PostedDate, 0.0);
  EXPECT_EQ(first->Amount, 0.0);
  EXPECT_EQ(reader.Count(), 3);
  EXPECT_EQ(reader.Get(0), first);
  EXPECT_EQ(reader.Get(1), second);
  EXPECT_EQ(reader.Get(2), third);
  reader.Delete(0);
  EXPECT_EQ(reader.Count(), 2);
  EXPECT_EQ(reader.Get(0), second);
  EXPECT_EQ(reader.Get(1), third);
  reader.Clear();
  EXPECT_EQ(reader.Count(), 0);
}

TEST(ReaderObject, BadIndexRaisesTheIndexErrorAndChangesNothing) {
  TVQOFXReader reader(nullptr);
  reader.Add()->FitId = "A";
  reader.Add()->FitId = "B";
  for (int index : {2, -1, 100}) {
    try {
      reader.Get(index);
      FAIL() << "Get(" << index << ") did not fail";
    } catch (const EListError& e) {
      EXPECT_EQ(e.Index(), index);
    }
    try {
      reader.Delete(index);
      FAIL() << "Delete(" << index << ") did not fail";
    } catch (const EListError& e) {
      EXPECT_EQ(e.Index(), index);
    }
  }
  EXPECT_EQ(reader.Count(), 2);
  EXPECT_EQ(reader.Get(1)->FitId, "B");
}

TEST(ReaderObject, ManyRecordsKeepTheirOrderAcrossBlocks) {
  // Large statements keep their records and texts in blocks of huge pages;
  // under the address sanitizer every record must still be built and kept,
  // and every block given back once.
  TVQOFXReader reader(nullptr);
  for (int round = 0; round < 2; ++round) {
    for (int i = 0; i < 40000; ++i) {
      reader.Add()->FitId = reader.Keep("fitid-long-enough-for-the-heap-" + std::to_string(i));
    }
    reader.Delete(0);
    ASSERT_EQ(reader.Count(), 39999);
    EXPECT_EQ(reader.Get(0)->FitId, "fitid-long-enough-for-the-heap-1");
    EXPECT_EQ(reader.Get(20000)->FitId, "fitid-long-enough-for-the-heap-20001");
    EXPECT_EQ(reader.Get(39998)->FitId, "fitid-long-enough-for-the-heap-39999");
    reader.Clear();
    EXPECT_EQ(reader.Count(), 0);
  }
  reader.Add();
  reader.Add()->Memo = reader.Keep(std::string("left for the destructor"));
}

TEST(ReaderObject, OwnerReleasesTheReaderWithItsRecords) {
  auto* owner = new TComponent(nullptr);
  auto* reader = new TVQOFXReader(owner);
  reader->Add();
  reader->Add();
  EXPECT_EQ(owner->ComponentCount(), 1);
  EXPECT_EQ(owner->Components(0), reader);
  // Run under the address sanitizer, a record left behind shows as a leak.
  delete owner;

  TComponent other(nullptr);
  auto* alone = new TVQOFXReader(&other);
  delete alone;
  EXPECT_EQ(other.ComponentCount(), 0);
}

}  // namespace
}  // namespace kvr
