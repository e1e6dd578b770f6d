#pragma once

#include "codeplug/QUVParmsFormatConvertBase.h"

// Conversion step between parameter formats 5.8 and 5.9. No block gains fixed
// words or tables in this step; the hooks add the favourites table, move a
// few kind-0 values between the kind block and the first kind-0 system,
// shift the level fields and fill in defaults of the fields 5.9 introduced.
class QUVParmsFormat5859 : public QUVParmsFormatConvertBase {
public:
    QUVParmsFormat5859();

protected:
    void HeaderHook() override;
    void Kind0Hook() override;
    void System0Hook(int system) override;
    void System1Hook(int system) override;
    void System3Hook(int system) override;
    void System4Hook(int system) override;
    void System5Hook(int system) override;
    void System1PostRestructureHook(int system) override;
    void System3PostRestructureHook(int system) override;
    void System4PostRestructureHook(int system) override;

private:
    void SystemKind13Hook(int system, int table);
};
