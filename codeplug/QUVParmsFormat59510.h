#pragma once

#include "codeplug/QUVParmsFormatConvertBase.h"

// Conversion step between parameter formats 5.9 and 5.10. The base adds 20
// fixed words to the header and new tables to kind-1, kind-3 and kind-4
// systems; the hooks widen table records, move bit fields into the new words,
// merge a system table's first three words into a new table and raise level
// fields.
class QUVParmsFormat59510 : public QUVParmsFormatConvertBase {
public:
    QUVParmsFormat59510();

protected:
    void HeaderHook() override;
    void Kind0Hook() override;
    void System0Hook(int system) override;
    void System1Hook(int system) override;
    void System3Hook(int system) override;
    void System4Hook(int system) override;
    void System5Hook(int system) override;
    void System4PostRestructureHook(int system) override;
    void System5PostRestructureHook(int system) override;
    void ListHook1(int list) override;
    void ListHook2(int list) override;
    void ListHook3(int list) override;
    void ListHook4(int list) override;
    void ListHook5(int list) override;

private:
    // The source field's value goes into the destination field and the
    // source field is cleared; words count from a record's or block's start.
    struct FieldMove {
        int sourceWord;
        uint16_t sourceMask;
        int sourceShift;
        int destinationWord;
        uint16_t destinationMask;
        int destinationShift;
    };
    // Up only: the move in every record of the table.
    void MoveRecordFields(BlockRef block, int table, const FieldMove& move);
    void MoveField(int64_t base, const FieldMove& move);
    // Up only: builds table `target` from the first three words of every
    // record of table `source`, unless it has a record size already.
    void MergeTable(int system, int target, int source, bool maskFirstWord);
    void SystemKind13Hook(int system, bool kind3);
};

// Settings every 5.10 codeplug needs, applied after a conversion into 5.10.
// Returns false when the image faulted on the way (it is then to be
// discarded); an absent image or one without a valid header is left as it is.
bool ApplyFormat510Defaults(CodeplugImage& image);
