// Temporary stand-ins so the library links until the acceptance checks are in; this file is
// deleted when they land.

#include "brindlecap/functions/filtrations_evaluation/checks/checks.hpp"

namespace brindlecap::functions::filtrations_evaluation::detail {

namespace {
CheckOutcome not_implemented() { return {"fail", "not implemented", {}}; }
}  // namespace

CheckOutcome run_check_4_determinism(const std::string&, const Operator&, FiltrationEvaluationConfig&,
                                     numeric::Generator&) {
    return not_implemented();
}
CheckOutcome run_check_5_parallel_safety(const std::string&, const Operator&, FiltrationEvaluationConfig&,
                                         numeric::Generator&) {
    return not_implemented();
}
CheckOutcome run_check_6_boundary_family(const std::string&, const Operator&, FiltrationEvaluationConfig&,
                                         numeric::Generator&) {
    return not_implemented();
}
CheckOutcome run_check_7_bias(const std::string&, const Operator&, FiltrationEvaluationConfig&,
                              numeric::Generator&) {
    return not_implemented();
}
CheckOutcome run_check_8_speed(const std::string&, const Operator&, FiltrationEvaluationConfig&,
                               numeric::Generator&) {
    return not_implemented();
}

}  // namespace brindlecap::functions::filtrations_evaluation::detail
