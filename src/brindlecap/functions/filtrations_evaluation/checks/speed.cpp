// Stand-in until the check is implemented: reports a failure so no operator is accepted unchecked.

#include "brindlecap/functions/filtrations_evaluation/checks/checks.hpp"

namespace brindlecap::functions::filtrations_evaluation::detail {

CheckOutcome run_check_8_speed(const std::string&, const Operator&, FiltrationEvaluationConfig&,
                               numeric::Generator&) {
    return {"fail", "not implemented", {}};
}

}  // namespace brindlecap::functions::filtrations_evaluation::detail
