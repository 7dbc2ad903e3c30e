// The scale detection of the numeric input register, in one place: the
// register applies it to its column when first bound, and vant._linalg
// offers it to the search, which needs every input's scale before any
// model trains.  Plain arithmetic, no Python API.
#ifndef KESTOR_INPUT_SCALE_H
#define KESTOR_INPUT_SCALE_H

// Maps the column's range max..min onto -1..1: x -> (x - offset) * scale.
// A flat column (max <= min) gets scale 1 and keeps the offset it had.
inline void detect_input_scale(double max, double min, double *scale, double *offset)
{
    if (max > min) {
        *scale = 2.0 / (max - min);
        *offset = max - 1.0 / *scale;
    }
    else {
        *scale = 1.0;
    }
}

#endif  // KESTOR_INPUT_SCALE_H
