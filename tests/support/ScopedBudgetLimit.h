#pragma once
// Sets a node-wide byte budget's limit for one test and puts the default back when the
// test ends, whatever way it ends: the budgets are process-wide and every later test in
// the same binary must find them as the library leaves them.

#include <cstddef>

#include "transport/ByteBudget.h"

namespace ZelkorTest {

class ScopedBudgetLimit {
public:
    ScopedBudgetLimit(Zelkor::ByteBudget& budget, std::size_t bytes) : _budget(budget) { _budget.SetLimit(bytes); }
    ~ScopedBudgetLimit() { _budget.SetLimit(Zelkor::ByteBudget::DefaultLimit); }
    ScopedBudgetLimit(const ScopedBudgetLimit&) = delete;
    ScopedBudgetLimit& operator=(const ScopedBudgetLimit&) = delete;

private:
    Zelkor::ByteBudget& _budget;
};

}  // namespace ZelkorTest
