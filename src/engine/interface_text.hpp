#pragma once
// Interface text: the messages, doc strings and printed lines of the module `zelmor_self_play` that a
// caller sees and may match on (argument errors, exception texts, standard-output lines). Drivers,
// workers and tests compare them byte for byte, so a change here is a change of the module's interface,
// never a rewording. The tree search's own fatal texts stay beside the search (search.cpp), which the
// toolkit's search player shares without this module.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zelmor_self_play::text {

// The module and its functions.
inline constexpr char kModuleName[] = "zelmor_self_play";
inline constexpr char kPlayTrainingGame[] = "play_training_game";
inline constexpr char kPlayTestGame[] = "play_test_game";
inline constexpr char kPlayTestAgainstRandom[] = "play_test_against_random";
inline constexpr char kPlayTrainingGameDoc[] =
    "play_training_game(id, config, result_queue, inference_queue, pipe)\n--\n\n"
    "Works with Pytorch model to generate self-play data";
inline constexpr char kPlayTestGameDoc[] =
    "play_test_game(id, config, result_queue, model_queue, baseline_queue, pipe)\n--\n\n";
inline constexpr char kPlayTestAgainstRandomDoc[] =
    "play_test_against_random(id, config, result_queue, inference_queue, pipe)\n--\n\n";
// ImportError of a second interpreter.
inline constexpr char kOneInterpreterOnly[] = "zelmor_self_play supports only one interpreter per process";

// The class of fatal errors.
inline constexpr char kPanicClassName[] = "zelmor_self_play.PanicException";
inline constexpr char kPanicClassDoc[] =
    "A fatal error inside the engine: a broken precondition or invariant, or unreadable settings.";
// Printed to the C standard error stream just before the process aborts.
inline constexpr char kUncaughtPanic[] = "uncaught panic at ffi boundary\n";
// The messages of failures that carry no text of their own.
inline constexpr char kCallFailedSilently[] = "a Python call failed without setting an exception";
inline constexpr char kOutOfMemory[] = "memory allocation failed";
inline constexpr char kUnknownFatalError[] = "unknown fatal error";
inline constexpr char kUnreadableConfig[] = "called `Result::unwrap()` on an `Err` value: ";  // + exception_debug

// Argument errors, worded as the interpreter words its own.
inline std::string too_many_positional(std::string_view function, size_t takes, ptrdiff_t given) {
    return std::string(function) + "() takes " + std::to_string(takes) + " positional arguments but " +
           std::to_string(given) + (given == 1 ? " was" : " were") + " given";
}
// A PyUnicode_FromFormat format: the function's name, then the keyword as a str object.
inline constexpr char kUnexpectedKeywordFormat[] = "%s() got an unexpected keyword argument '%U'";
inline std::string multiple_values(std::string_view function, std::string_view parameter) {
    return std::string(function) + "() got multiple values for argument '" + std::string(parameter) + "'";
}
// "f() missing 3 required positional arguments: 'a', 'b', and 'c'"
inline std::string missing_arguments(std::string_view function, const std::vector<std::string>& names) {
    std::string listed;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0) listed += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        listed += "'" + names[i] + "'";
    }
    return std::string(function) + "() missing " + std::to_string(names.size()) + " required positional argument" +
           (names.size() == 1 ? "" : "s") + ": " + listed;
}
// A PyUnicode_FromFormat format: the conversion's own error, by str().
inline constexpr char kIdArgumentFormat[] = "argument 'id': %S";
inline constexpr char kIntegerOutOfRange[] = "out of range integral type conversion attempted";  // OverflowError
inline constexpr char kConfigFieldPrefix[] = "failed to extract field Config.";  // TypeError, then the field name
// The causes of a failed optional search setting (PyUnicode_FromFormat formats where they take the value).
inline constexpr char kChoiceNotText[] = "%s must be a str, not %s";                                // TypeError
inline constexpr char kRootSearchUnknown[] = "root_search must be \"puct\" or \"gumbel\", got %R";  // ValueError
inline constexpr char kFirstPlayUnknown[] = "first_play must be \"zero\" or \"parent\", got %R";    // ValueError
inline constexpr char kGumbelActionsTooFew[] = "gumbel_actions must be at least 1";                 // ValueError
inline constexpr char kFastSimsTooFew[] = "fast_sims must be at least 1";                           // ValueError
inline constexpr char kFullSearchShareOutOfRange[] =
    "full_search_share must be greater than 0 and at most 1, got %R";  // ValueError

// Exceptions taken out of the interpreter and shown as text.
// "PyErr { type: <class 'TypeError'>, value: TypeError('message'), traceback: None }", the traceback
// being Some(<the quoted print-out>) when there is one.
inline std::string exception_debug(std::string_view type_repr, std::string_view value_repr,
                                   const std::optional<std::string>& quoted_traceback) {
    const std::string traceback = quoted_traceback ? "Some(" + *quoted_traceback + ")" : "None";
    return "PyErr { type: " + std::string(type_repr) + ", value: " + std::string(value_repr) +
           ", traceback: " + traceback + " }";
}
inline constexpr char kNoExceptionSet[] = "attempted to fetch exception but none was set";  // SystemError
inline constexpr char kUnprintable[] = "<unprintable>";  // for a text that is not valid UTF-8
inline constexpr char kTracebackUnavailable[] = "<traceback unavailable>";
inline constexpr char kStrFailed[] = "<exception str() failed>";  // for a message whose str() raised

// The network's reply, read as two sequences of numbers.
inline constexpr char kStrIsNotNumbers[] = "Can't extract `str` to `Vec`";  // TypeError
inline std::string not_a_sequence(std::string_view type_name) {
    std::string message(1, '\'');  // appended, not added: GCC 12 warns falsely about "'" + string
    return message.append(type_name).append("' object cannot be converted to 'Sequence'");
}
// No honest reply comes near these lengths: a policy has one logit per tile, values one per player.
inline constexpr size_t kMaxPolicyLogits = 65536;
inline constexpr size_t kMaxValueLogits = 256;
inline std::string reply_too_long(size_t index, size_t limit) {  // ValueError
    return std::string(index == 0 ? "the network's policy logits" : "the network's value logits") + " run past " +
           std::to_string(limit) + " numbers";
}
inline constexpr char kInvalidRepresentation[] = "Invalid representation type";  // PanicException

// The self-play game's failures.
inline constexpr char kRootEvaluationFailed[] = "Error evaluating root node: ";  // + the evaluation error
inline constexpr char kAllScoresNan[] = "All UCB scores NaN";
inline constexpr char kEmptyVisitDistribution[] = "assertion failed: visit_dist.len() > 0";  // PanicException

// The test matches' failures and standard-output lines. The error line quotes its text as debug_quote does.
inline constexpr char kMctsFailed[] = "Error running MCTS";  // also the text of play_test_game's Exception
inline std::string error_line(std::string_view quoted) {
    return std::string(kMctsFailed) + ": " + std::string(quoted) + "\n";
}
inline constexpr char kFinishedGame[] = "Finished Game\n";
inline constexpr char kNoPositivePrior[] = "No legal tile has a positive prior";
inline constexpr char kEmptyRange[] = "cannot sample empty range";  // PanicException

}  // namespace zelmor_self_play::text
