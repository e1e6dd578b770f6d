#pragma once

#include "codeplug/CodeplugImage.h"

#include <cstdint>

// Block classes that have their own size record per format.
enum class SizeRecordClass {
    Header,
    List,
    System0,
    System1,
    System3,
    System4,
    System5,
    Kind0,
    Kind13,
    Kind4,
    Kind5,
};

// How a block class looks in one format: where the first table's data
// starts, how many fixed words the block gained over the previous format, how
// many tables it has and how many of them are new in this format.
struct BlockSizeRecord {
    int32_t dataStart = 0;
    int32_t fixedAdded = 0;
    int32_t tableCount = 0;
    int32_t tablesAdded = 0;
};

// Size record of a block class in a format (format indexes 0 to 5; every
// other index, and 0 to 2, give all zeros).
BlockSizeRecord BlockSizes(SizeRecordClass blockClass, int formatIndex);

// One step of codeplug conversion between two neighbouring parameter
// formats, in either direction. The base walks the image's blocks in a fixed
// order, restructures each block from the size records of the step's format,
// writes the version word, and calls the derived step's hooks at fixed
// points:
// - up: restructure a block, then its post-restructure hook, then its hook;
// - down: the block's hook, then the restructuring back.
// The header comes first, then the kind blocks (kind 0, kinds 1/3, 4, 5),
// then the system blocks by number, then the list blocks by ordinal.
//
// A step stops as soon as the image faults (see CodeplugImage) and then
// reports failure; the image is left part-converted and must be discarded.
class QUVParmsFormatConvertBase {
public:
    QUVParmsFormatConvertBase() = default;
    virtual ~QUVParmsFormatConvertBase() = default;
    QUVParmsFormatConvertBase(const QUVParmsFormatConvertBase&) = delete;
    QUVParmsFormatConvertBase& operator=(const QUVParmsFormatConvertBase&) = delete;

    // Convert the image into this step's format (up) or out of it (down).
    // False when the image faulted on the way.
    bool ConvertUp(CodeplugImage& image);
    bool ConvertDown(CodeplugImage& image);

    // Words added to the chain by the last run (negative when removed).
    int32_t SizeChange() const { return m_SizeChange; }
    // The format index this step converts up into.
    uint8_t FormatId() const { return m_FormatId; }

protected:
    static constexpr uint8_t kUp = 0;
    static constexpr uint8_t kDown = 1;

    // Hooks, in slot order.
    virtual void HeaderHook() { }
    virtual void HeaderPostRestructureHook() { }
    virtual void Kind0Hook() { }
    virtual void Kind13Hook() { }
    virtual void Kind4Hook() { }
    virtual void Kind5Hook() { }
    virtual void Kind0PostRestructureHook() { }
    virtual void Kind13PostRestructureHook() { }
    virtual void Kind4PostRestructureHook() { }
    virtual void Kind5PostRestructureHook() { }
    virtual void System0Hook(int) { }
    virtual void System1Hook(int) { }
    virtual void System3Hook(int) { }
    virtual void System4Hook(int) { }
    virtual void System5Hook(int) { }
    virtual void System0PostRestructureHook(int) { }
    virtual void System1PostRestructureHook(int) { }
    virtual void System3PostRestructureHook(int) { }
    virtual void System4PostRestructureHook(int) { }
    virtual void System5PostRestructureHook(int) { }
    virtual void ListHook1(int) { }
    virtual void ListHook2(int) { }
    virtual void ListHook3(int) { }
    virtual void ListHook4(int) { }
    virtual void ListHook5(int) { }
    virtual void ListPostRestructureHook(int) { }

    bool Up() const { return m_Direction == kUp; }
    CodeplugImage& Image() { return *m_Image; }

    // ---- Helpers for the steps; all respect the direction. ----

    // Header table k: descriptor (newCount, newSize) up or (oldCount,
    // oldSize) down (a negative value keeps that byte). Unless
    // `descriptorOnly`, the table then grows (up, zero-filled) or shrinks
    // (down) at its end by (newCount - oldCount) records of the record size
    // it had before.
    void HeaderTableResize(
        int table, int oldCount, int newCount, int oldSize, int newSize, bool descriptorOnly);
    // Record size of a table: every record gains (up, zero words at its end)
    // or loses (down) newSize - oldSize words.
    void SystemTableRecordResize(int system, int table, int oldSize, int newSize);
    void ListTableRecordResize(int list, int table, int oldSize, int newSize);
    // Down only: removes the table's content and sets its record count to 0.
    void SystemTableClear(int system, int table);
    // Sets the record size when it is 0.
    void DefaultRecordSize(int system, int table, int size);
    // Five header words from `firstWord`: each zero byte (every byte when
    // `force`) becomes a space.
    void SpaceFill(int firstWord, bool force);

    // Level shift of a 5-bit field: up v + 4 (16 above 11), down v - 4 (0
    // below 5).
    void LevelShift(int64_t index, uint16_t mask, int shift);

    // Fields in the order they have always been laid out.
    CodeplugImage* m_Image = nullptr;
    uint8_t m_Direction = kDown;
    int32_t m_SizeChange = 0;
    uint8_t m_FormatId = kUnknownFormatIndex;

private:
    bool Run(CodeplugImage& image, uint8_t direction);
    template <typename PostHook>
    void Restructure(int block, const BlockSizeRecord& record, bool header, PostHook postHook);
    void RecordResize(BlockRef block, int table, int oldSize, int newSize);
    bool Stopped() const { return m_Image->Faulted(); }
};

// Changes every record of a table between two record sizes in place: growing
// appends zero words to each record, shrinking drops its last words. The
// words after the table move with it. Returns the change in words.
int ResizeTableRecords(CodeplugImage& image, int start, int count, int fromSize, int toSize);

// Sets the high (or low) byte of image[index] to `value` when it is 0.
void SetByteIfZero(CodeplugImage& image, int64_t index, bool high, int value);
