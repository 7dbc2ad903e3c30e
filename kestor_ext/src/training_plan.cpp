// The per-sample training loop of Model._fit, planned once per call
// (training_plan.h).
#include "training_plan.h"

#include <algorithm>
#include <cstring>
#include <type_traits>

namespace {

// One operation of a sample's program: an element's forward or reverse.
struct Operation {
    const void *code;  // the label of the operation in the loop
    int32_t index;
    int32_t second;    // the second operand of a binary element
    void *state;
    double lr;         // the learning rate of the call, for elements with parameters
    kestor_step_fn slot;  // slot operations only
    // Reverse of a leaf or a slot element: where the gradient of the next
    // operation's element is (the record, or a zero after the last one).
    const double *next_gradient;
    // Reverse of an inlined binary element: the second operand's subtree
    // comes next, so its gradient is handed down rather than the first's.
    bool second_first;
    // Forward of an inlined binary element: the operand whose value waits
    // in the record (the other one's comes in a register), and whether that
    // is the first.
    int32_t waiting_operand;
};

// Every element's forward from the last to the root, every reverse from the
// root down (each element before its operands), and the end of the sample.
constexpr int MAX_OPERATIONS = 2 * MAX_ELEMENTS + 1;

struct TrainPlan {
    Operation program[MAX_OPERATIONS];
    // Slot operations add into their operands' gradients in the record, which
    // must then start every sample at zero as before; inlined ones set them.
    bool zero_gradients;
    CallLoss loss;
    UpdateSchedule schedule;

    explicit TrainPlan(const PyModel *model) : zero_gradients(false), loss(model), schedule(model->schedule) {}
};

// What the table says of each step kind; STEP_SLOT first.
struct StepFacts {
    const char *name;
    double base_rate;  // the learning rate before the call's factor, for types with parameters
    StepLatency latency;
    int32_t arity;
};

constexpr StepFacts step_facts[STEP_KIND_COUNT] = {
    {nullptr, 0.0, {20, 20, 45}, 0},
#define KESTOR_STEP_FACTS(home, shape, id, Def) {Def::name, Def::base_rate, Def::latency, Def::arity},
    KESTOR_ELEMENT_TYPES(KESTOR_STEP_FACTS)
#undef KESTOR_STEP_FACTS
};

double base_rate(StepKind kind) { return step_facts[kind].base_rate; }

// The labels of the loop, by step kind, for forward and reverse.
struct OperationLabels {
    const void *forward[STEP_KIND_COUNT];
    const void *reverse[STEP_KIND_COUNT];
    const void *forward_double_input;  // in-linear reading float64 values within its column
    const void *end;
};

const double NO_GRADIENT = 0.0;

StepLatency latency_of(StepKind kind) { return step_facts[kind].latency; }

// What a value or gradient costs when it waits in the record rather than in
// a register.
constexpr int32_t RECORD_LATENCY = 8;

bool is_inlined_binary(StepKind kind) { return kind != STEP_SLOT && step_facts[kind].arity == 2; }

struct ProgramBuilder {
    PyModel *model;
    npy_intp n;
    const OperationLabels &labels;
    StepKind kinds[MAX_ELEMENTS];
    int32_t size[MAX_ELEMENTS];
    // The longest chain from a parameter of the subtree up to its root's
    // value and back down to that parameter's next value.
    int32_t chain[MAX_ELEMENTS];
    // Reverse of an inlined binary element: its second operand's subtree goes
    // first, its gradient handed down in a register.
    bool second_first[MAX_ELEMENTS];
    Operation *op;

    // A binary element's forward takes the operand evaluated last in a
    // register and the other one's value from the record; its reverse hands
    // one operand's gradient down in a register and lets the other one's
    // wait.  Chooses which operand of binary element i waits for its value
    // and which for its gradient; returns the longer of the two operands'
    // chains with those waits.
    int32_t place_waits(int32_t i)
    {
        int32_t through_first = chain[i + 1];
        int32_t through_second = chain[model->second_operand[i]];
        // The forward runs in the elements' prefix order (the last operand
        // first), so that a failing sample leaves the activations that order
        // gives: the second operand's value waits, and the gradient of the
        // operand then on the shorter chain.
        through_second += RECORD_LATENCY;
        second_first[i] = through_second > through_first;
        return second_first[i] ? std::max(through_second, through_first + RECORD_LATENCY)
                               : std::max(through_first, through_second + RECORD_LATENCY);
    }

    // The size and chain of every subtree, and the waits of every binary
    // element, from the last element to the root.
    void measure_subtrees()
    {
        for (int32_t i = model->count - 1; i >= 0; i--) {
            StepLatency own = latency_of(kinds[i]);
            size[i] = 1;
            chain[i] = own.update > 0 ? own.forward + own.update : 0;
            second_first[i] = false;
            int32_t longest_below = 0;
            int32_t operand = i + 1;
            for (int32_t k = 0; k < model->type[i]->arity; k++) {
                int32_t below = chain[operand] > 0 ? chain[operand] + (k > 0 ? RECORD_LATENCY : 0) : 0;
                longest_below = std::max(longest_below, below);
                size[i] += size[operand];
                operand += size[operand];
            }
            if (is_inlined_binary(kinds[i])) {
                longest_below = place_waits(i);
            }
            if (longest_below > 0) {
                chain[i] = std::max(chain[i], longest_below + own.forward + own.reverse);
            }
        }
    }

    Operation *add(int32_t i, bool forward)
    {
        const InteractionType *type = model->type[i];
        StepKind kind = kinds[i];
        *op = Operation{};
        op->code = forward ? labels.forward[kind] : labels.reverse[kind];
        op->index = i;
        op->second = model->second_operand[i];
        op->state = model->state[i];
        op->lr = base_rate(kind) * model->rate_factor;
        op->slot = forward ? type->forward : type->reverse;
        op->next_gradient = &NO_GRADIENT;
        if (forward && kind == STEP_in_linear &&
            linear_input_reads_doubles((const LinearInputState *)model->state[i], n)) {
            op->code = labels.forward_double_input;
        }
        return op++;
    }

    // Forward of the subtree of element i, after its operands' subtrees:
    // the last operand's first, as the elements' prefix order has it.
    void add_forward(int32_t i)
    {
        int32_t operands[MAX_ELEMENTS];
        int32_t arity = model->type[i]->arity;
        int32_t operand = i + 1;
        for (int32_t k = 0; k < arity; k++) {
            operands[k] = operand;
            operand += size[operand];
        }
        for (int32_t k = arity - 1; k >= 0; k--) {
            add_forward(operands[k]);
        }
        Operation *self = add(i, true);
        self->waiting_operand = model->second_operand[i];
    }

    // Reverse of the subtree of element i, the element before its operands.
    // Any such order gives the same bits: an element's reverse reads only its
    // own gradient, the activations and its own state.
    void add_reverse(int32_t i)
    {
        Operation *parent = add(i, false);
        if (second_first[i]) {
            parent->second_first = true;
            add_reverse(model->second_operand[i]);
            add_reverse(i + 1);
            return;
        }
        int32_t operand = i + 1;
        for (int32_t k = 0; k < model->type[i]->arity; k++) {
            add_reverse(operand);
            operand += size[operand];
        }
    }
};

void plan_program(PyModel *model, npy_intp n, const OperationLabels &labels, TrainPlan *plan)
{
    const int32_t count = model->count;
    ProgramBuilder builder{model, n, labels, {}, {}, {}, {}, plan->program};
    for (int32_t i = 0; i < count; i++) {
        StepKind kind = step_kind_of(model->type[i]);
        // The operations of the output registers serve only the root.
        if (i > 0 && (kind == STEP_out_linear || kind == STEP_out_lr)) {
            kind = STEP_SLOT;
        }
        builder.kinds[i] = kind;
        plan->zero_gradients = plan->zero_gradients || kind == STEP_SLOT;
    }
    builder.measure_subtrees();
    builder.add_forward(0);
    Operation *reverse = builder.op;
    builder.add_reverse(0);
    // A leaf or slot reverse leaves the next element's gradient in the record.
    for (Operation *r = reverse; r + 1 < builder.op; r++) {
        r->next_gradient = &model->gradient[r[1].index];
    }
    builder.op->code = labels.end;
}

// The loop runs one sample's program after the other.  Each operation ends
// by jumping straight to the next one's code, so that the processor predicts
// every jump from its own place in the program.  `a` carries the value the
// last forward left (the next forward's first operand); `g` the gradient the
// last reverse handed down (the next reverse's own).
template <UpdateRegime R>
int32_t train_in_regime(PyModel *model, npy_intp n)
{
#define KESTOR_FORWARD_LABEL(home, shape, id, Def) &&forward_##id,
#define KESTOR_REVERSE_LABEL(home, shape, id, Def) &&reverse_##id,
    static const OperationLabels labels = {
        {&&forward_slot, KESTOR_ELEMENT_TYPES(KESTOR_FORWARD_LABEL)},
        {&&reverse_slot, KESTOR_ELEMENT_TYPES(KESTOR_REVERSE_LABEL)},
        &&forward_double_input,
        &&end_of_sample,
    };
#undef KESTOR_REVERSE_LABEL
#undef KESTOR_FORWARD_LABEL
    TrainPlan plan(model);
    plan_program(model, n, labels, &plan);
    double *activation = model->activation;
    double *gradient = model->gradient;
    const UpdateSchedule schedule = plan.schedule;
    const CallLoss loss = plan.loss;
    const bool zero_gradients = plan.zero_gradients;
    int32_t status = STATUS_OK;
    double a = 0.0, g = 0.0;
    const Operation *op;
    ScoredSample scored{};  // what the root's forward read for its reverse

#define NEXT_OPERATION() \
    do {                 \
        op++;            \
        goto *op->code;  \
    } while (0)
#define FORWARD_VALUE(value)             \
    do {                                 \
        a = (value);                     \
        activation[op->index] = a;       \
        NEXT_OPERATION();                \
    } while (0)
    // An element is the only one that sets its operands' gradients, which
    // start every sample at zero: the "0.0 +" of the sums keeps their bits
    // (a -0.0 share becomes +0.0, as when it was added into the record).
#define HAND_DOWN(first_gradient)        \
    do {                                 \
        g = (first_gradient);            \
        gradient[op->index + 1] = g;     \
        NEXT_OPERATION();                \
    } while (0)

#define HAND_DOWN_BOTH(first_gradient, second_gradient)   \
    do {                                                   \
        double first = (first_gradient);                   \
        double second = (second_gradient);                 \
        gradient[op->index + 1] = first;                   \
        gradient[op->second] = second;                     \
        g = op->second_first ? second : first;             \
        NEXT_OPERATION();                                  \
    } while (0)

    for (npy_intp k = 0; k < n; k++) {
        if (zero_gradients) {
            std::fill(gradient, gradient + MAX_ELEMENTS, 0.0);
        }
        a = 0.0;
        op = plan.program;
        goto *op->code;

    forward_in_linear: {
        auto *s = (LinearInputState *)op->state;
        double x;
        status = linear_input_sample(s, &x);
        if (status != STATUS_OK) {
            return status;
        }
        s->position += 1;
        FORWARD_VALUE(input_value(s, x));
    }
    forward_double_input: {
        auto *s = (LinearInputState *)op->state;
        double x;
        status = linear_input_double_sample(s, &x);
        if (status != STATUS_OK) {
            return status;
        }
        s->position += 1;
        FORWARD_VALUE(input_value(s, x));
    }
    forward_out_linear: {
        auto *s = (LinearOutputState *)op->state;
        a = prediction_of(s, a);
        activation[op->index] = a;
        status = output_score(s->arrays, s->columns, loss, a, &scored);
        if (status != STATUS_OK) {
            return status;
        }
        g = a;  // the root's reverse starts from its prediction
        NEXT_OPERATION();
    }
    forward_out_lr: {
        auto *s = (LogisticOutputState *)op->state;
        a = probability_of(s, a);
        activation[op->index] = a;
        status = output_score(s->arrays, s->columns, loss, a, &scored);
        if (status != STATUS_OK) {
            return status;
        }
        g = a;
        NEXT_OPERATION();
    }
    // The steps of the table's unary, binary and parametrised types, from
    // their definitions; a binary element's first operand comes in `a`.
#define KESTOR_FORWARD_UNARY(id, Def) \
    forward_##id: FORWARD_VALUE(Def::value(a));
#define KESTOR_FORWARD_BINARY(id, Def) \
    forward_##id: FORWARD_VALUE(Def::value(a, activation[op->waiting_operand]));
#define KESTOR_FORWARD_PARAMETRISED(id, Def) \
    forward_##id: FORWARD_VALUE(Def::value(a, *(const Def::State *)op->state));
#define KESTOR_REVERSE_UNARY(id, Def) \
    reverse_##id: HAND_DOWN(0.0 + Def::operand_gradient(g, activation[op->index + 1], activation[op->index]));
#define KESTOR_REVERSE_BINARY(id, Def)                                                                     \
    reverse_##id: {                                                                                       \
        OperandShares shares = Def::shares(g, activation[op->index + 1], activation[op->second],          \
                                           activation[op->index]);                                         \
        HAND_DOWN_BOTH(0.0 + shares.first, 0.0 + shares.second);                                           \
    }
#define KESTOR_REVERSE_PARAMETRISED(id, Def)                                                                \
    reverse_##id: HAND_DOWN(0.0 + Def::template train<R>(*(Def::State *)op->state, g,                      \
                                                         activation[op->index + 1], activation[op->index], \
                                                         op->lr, schedule));
#define KESTOR_FORWARD_REGISTER(id, Def)  // written out above
#define KESTOR_REVERSE_REGISTER(id, Def)  // written out below
#define KESTOR_FORWARD_STEP(home, shape, id, Def) KESTOR_FORWARD_##shape(id, Def)
    KESTOR_ELEMENT_TYPES(KESTOR_FORWARD_STEP)
    forward_slot:
        status = op->slot(model, op->index, 1);
        if (status != STATUS_OK) {
            return status;
        }
        a = activation[op->index];
        NEXT_OPERATION();

    reverse_in_linear:
        linear_input_train<R>((LinearInputState *)op->state, g, op->lr, schedule);
        g = *op->next_gradient;  // the next operation's element waits in the record
        NEXT_OPERATION();
    reverse_out_linear: {
        auto *s = (LinearOutputState *)op->state;
        double d;
        status = output_derivative(s->arrays, s->columns, loss, scored, g, &d);
        if (status != STATUS_OK) {
            return status;
        }
        HAND_DOWN(linear_output_train<R>(s, d, activation[op->index + 1], op->lr, schedule) + 0.0);
    }
    reverse_out_lr: {
        auto *s = (LogisticOutputState *)op->state;
        double d;
        status = output_derivative(s->arrays, s->columns, loss, scored, g, &d);
        if (status != STATUS_OK) {
            return status;
        }
        HAND_DOWN(0.0 + logistic_output_train<R>(s, d, g, activation[op->index + 1], op->lr, schedule));
    }
#define KESTOR_REVERSE_STEP(home, shape, id, Def) KESTOR_REVERSE_##shape(id, Def)
    KESTOR_ELEMENT_TYPES(KESTOR_REVERSE_STEP)
    reverse_slot:
        status = op->slot(model, op->index, 1);
        if (status != STATUS_OK) {
            return status;
        }
        g = *op->next_gradient;  // what the slot added, or a second operand's
        NEXT_OPERATION();

    end_of_sample:;
    }
#undef KESTOR_REVERSE_STEP
#undef KESTOR_FORWARD_STEP
#undef KESTOR_REVERSE_REGISTER
#undef KESTOR_FORWARD_REGISTER
#undef KESTOR_REVERSE_PARAMETRISED
#undef KESTOR_REVERSE_BINARY
#undef KESTOR_REVERSE_UNARY
#undef KESTOR_FORWARD_PARAMETRISED
#undef KESTOR_FORWARD_BINARY
#undef KESTOR_FORWARD_UNARY
#undef HAND_DOWN_BOTH
#undef HAND_DOWN
#undef FORWARD_VALUE
#undef NEXT_OPERATION
    return STATUS_OK;
}

// Every element through its slots, as the types define them; the same bits.
int32_t train_through_slots(PyModel *model, npy_intp n)
{
    const int32_t count = model->count;
    kestor_step_fn forward[MAX_ELEMENTS], reverse[MAX_ELEMENTS];
    for (int32_t i = 0; i < count; i++) {
        forward[i] = model->type[i]->forward;
        reverse[i] = model->type[i]->reverse;
    }
    for (npy_intp k = 0; k < n; k++) {
        std::fill(model->gradient, model->gradient + MAX_ELEMENTS, 0.0);
        for (int32_t i = count - 1; i >= 0; i--) {
            int32_t status = forward[i](model, i, 1);
            if (status != STATUS_OK) {
                return status;
            }
        }
        for (int32_t i = 0; i < count; i++) {
            int32_t status = reverse[i](model, i, 1);
            if (status != STATUS_OK) {
                return status;
            }
        }
    }
    return STATUS_OK;
}

// Below this many samples, planning a call costs more than it saves.
constexpr npy_intp PLANNED_FROM_SAMPLES = 8;

}  // namespace

StepKind step_kind_named(const char *name)
{
    for (int32_t kind = 1; kind < STEP_KIND_COUNT; kind++) {
        if (std::strcmp(step_facts[kind].name, name) == 0) {
            return (StepKind)kind;
        }
    }
    return STEP_SLOT;
}

int32_t train_samples(PyModel *model, npy_intp n)
{
    if (n <= 0) {
        return STATUS_OK;
    }
    model->batch_length = 1;
    if (n < PLANNED_FROM_SAMPLES) {
        return train_through_slots(model, n);
    }
    return in_regime(model->schedule,
                     [&](auto regime) { return train_in_regime<decltype(regime)::value>(model, n); });
}
