"""Where the fields of SEG-Y's binary and trace headers lie, their types,
the names segyio gives them, and the keys a caller may name a field by."""

from __future__ import annotations

import operator

import numpy as np

TEXT_BYTES, BINARY_BYTES, TRACE_HEADER_BYTES = 3200, 400, 240

# The standard trace header fields: (name, first byte counted from 1, bytes).
_FIELDS = """
    trace_sequence_line 1 4      trace_sequence_file 5 4     field_record 9 4
    trace_number 13 4            energy_source_point 17 4    cdp 21 4
    cdp_trace 25 4               trace_id 29 2               summed_traces 31 2
    stacked_traces 33 2          data_use 35 2               offset 37 4
    receiver_elevation 41 4      source_elevation 45 4       source_depth 49 4
    receiver_datum 53 4          source_datum 57 4           source_water_depth 61 4
    group_water_depth 65 4       elevation_scalar 69 2       coordinate_scalar 71 2
    source_x 73 4                source_y 77 4               group_x 81 4
    group_y 85 4                 coordinate_units 89 2       weathering_velocity 91 2
    subweathering_velocity 93 2  source_uphole_time 95 2     group_uphole_time 97 2
    source_static 99 2           group_static 101 2          total_static 103 2
    lag_time_a 105 2             lag_time_b 107 2            delay_time 109 2
    mute_start 111 2             mute_end 113 2              samples 115 2
    sample_interval 117 2        gain_type 119 2             gain_constant 121 2
    initial_gain 123 2           correlated 125 2            sweep_start 127 2
    sweep_end 129 2              sweep_length 131 2          sweep_type 133 2
    sweep_taper_start 135 2      sweep_taper_end 137 2       taper_type 139 2
    alias_frequency 141 2        alias_slope 143 2           notch_frequency 145 2
    notch_slope 147 2            low_cut 149 2               high_cut 151 2
    low_cut_slope 153 2          high_cut_slope 155 2        year 157 2
    day 159 2                    hour 161 2                  minute 163 2
    second 165 2                 time_basis 167 2            weighting_factor 169 2
    group_roll 171 2             group_first 173 2           group_last 175 2
    gap_size 177 2               overtravel 179 2            cdp_x 181 4
    cdp_y 185 4                  inline 189 4                crossline 193 4
    shot_point 197 4             shot_point_scalar 201 2     measurement_unit 203 2
    transduction_mantissa 205 4  transduction_exponent 209 2 transduction_unit 211 2
    device_id 213 2              time_scalar 215 2           source_type 217 2
    source_direction_v 219 2     source_direction_x 221 2    source_direction_y 223 2
    source_mantissa 225 4        source_exponent 229 2       source_unit 231 2
"""
_WORDS = _FIELDS.split()
TRACE_FIELDS = [(_WORDS[i], int(_WORDS[i + 1]), int(_WORDS[i + 2]))
                for i in range(0, len(_WORDS), 3)]
_UNSIGNED = {"samples", "sample_interval"}

# segyio's names (segyio.TraceField) of the fields that start at the same
# byte.  segyio reads bytes 219-222 as one 4-byte mantissa and 223-224 as its
# exponent, where this reader has three 2-byte direction components.
SEGYIO_TRACE_NAMES = dict(zip([at for _, at, _ in TRACE_FIELDS], """
    TRACE_SEQUENCE_LINE TRACE_SEQUENCE_FILE FieldRecord TraceNumber EnergySourcePoint CDP
    CDP_TRACE TraceIdentificationCode NSummedTraces NStackedTraces DataUse offset
    ReceiverGroupElevation SourceSurfaceElevation SourceDepth ReceiverDatumElevation
    SourceDatumElevation SourceWaterDepth GroupWaterDepth ElevationScalar SourceGroupScalar
    SourceX SourceY GroupX GroupY CoordinateUnits WeatheringVelocity SubWeatheringVelocity
    SourceUpholeTime GroupUpholeTime SourceStaticCorrection GroupStaticCorrection
    TotalStaticApplied LagTimeA LagTimeB DelayRecordingTime MuteTimeStart MuteTimeEND
    TRACE_SAMPLE_COUNT TRACE_SAMPLE_INTERVAL GainType InstrumentGainConstant
    InstrumentInitialGain Correlated SweepFrequencyStart SweepFrequencyEnd SweepLength
    SweepType SweepTraceTaperLengthStart SweepTraceTaperLengthEnd TaperType
    AliasFilterFrequency AliasFilterSlope NotchFilterFrequency NotchFilterSlope
    LowCutFrequency HighCutFrequency LowCutSlope HighCutSlope YearDataRecorded DayOfYear
    HourOfDay MinuteOfHour SecondOfMinute TimeBaseCode TraceWeightingFactor
    GeophoneGroupNumberRoll1 GeophoneGroupNumberFirstTraceOrigField
    GeophoneGroupNumberLastTraceOrigField GapSize OverTravel CDP_X CDP_Y INLINE_3D
    CROSSLINE_3D ShotPoint ShotPointScalar TraceValueMeasurementUnit
    TransductionConstantMantissa TransductionConstantPower TransductionUnit TraceIdentifier
    ScalarTraceHeader SourceType SourceEnergyDirectionMantissa - SourceEnergyDirectionExponent
    SourceMeasurementMantissa SourceMeasurementExponent SourceMeasurementUnit""".split()))
del SEGYIO_TRACE_NAMES[221]

# Which scalar field scales which fields (``scale=True``): a positive scalar
# multiplies, a negative one divides by its magnitude, zero counts as one.
SCALED_BY = {}
for _scalar, _names in [
        ("coordinate_scalar", "source_x source_y group_x group_y cdp_x cdp_y"),
        ("elevation_scalar", "receiver_elevation source_elevation source_depth receiver_datum "
                             "source_datum source_water_depth group_water_depth"),
        ("shot_point_scalar", "shot_point"),
        ("time_scalar", "source_uphole_time group_uphole_time source_static group_static "
                        "total_static lag_time_a lag_time_b delay_time mute_start mute_end")]:
    SCALED_BY.update(dict.fromkeys(_names.split(), _scalar))

# The binary header, revision 2: (name, first byte counted from 1, bytes,
# kind: 'i' signed, 'u' unsigned, 'f' IEEE float), and segyio's name.
_BINARY = """
    job_id 3201 4 i JobID                    line_number 3205 4 i LineNumber
    reel_number 3209 4 i ReelNumber          traces_per_ensemble 3213 2 i Traces
    aux_traces_per_ensemble 3215 2 i AuxTraces
    sample_interval 3217 2 u Interval        original_sample_interval 3219 2 u IntervalOriginal
    samples 3221 2 u Samples                 original_samples 3223 2 u SamplesOriginal
    format 3225 2 i Format                   ensemble_fold 3227 2 i EnsembleFold
    sorting 3229 2 i SortingCode             vertical_sum 3231 2 i VerticalSum
    sweep_start 3233 2 i SweepFrequencyStart sweep_end 3235 2 i SweepFrequencyEnd
    sweep_length 3237 2 i SweepLength        sweep_type 3239 2 i Sweep
    sweep_channel 3241 2 i SweepChannel      sweep_taper_start 3243 2 i SweepTaperStart
    sweep_taper_end 3245 2 i SweepTaperEnd   taper_type 3247 2 i Taper
    correlated 3249 2 i CorrelatedTraces     gain_recovered 3251 2 i BinaryGainRecovery
    amplitude_recovery 3253 2 i AmplitudeRecovery
    measurement_system 3255 2 i MeasurementSystem
    impulse_polarity 3257 2 i ImpulseSignalPolarity
    vibratory_polarity 3259 2 i VibratoryPolarity
    ext_traces_per_ensemble 3261 4 i -       ext_aux_traces_per_ensemble 3265 4 i -
    ext_samples 3269 4 i -                   ext_sample_interval 3273 8 f -
    ext_original_sample_interval 3281 8 f -  ext_original_samples 3289 4 i -
    ext_ensemble_fold 3293 4 i -             byte_order 3297 4 u -
    revision_major 3501 1 u SEGYRevision     revision_minor 3502 1 u -
    fixed_length 3503 2 i TraceFlag          extended_headers 3505 2 i ExtendedHeaders
    extra_trace_headers 3507 4 i -           time_basis 3511 2 i -
    trace_count 3513 8 u -                   first_trace 3521 8 u -
    trailer_records 3529 4 i -
"""
_B = _BINARY.split()
BINARY_FIELDS = [(_B[i], int(_B[i + 1]), int(_B[i + 2]), _B[i + 3])
                 for i in range(0, len(_B), 5)]
SEGYIO_BINARY_NAMES = {_B[i]: _B[i + 4] for i in range(0, len(_B), 5) if _B[i + 4] != "-"}


def _order(byteorder):
    return ">" if byteorder == "big" else "<"


def trace_header_dtype(byteorder: str = "big") -> np.dtype:
    """The structured dtype of a 240-byte trace header: the standard fields
    as integers (signed but for the sample count and interval), and
    ``raw``, the 240 bytes themselves."""
    order = _order(byteorder)
    names = [name for name, _, _ in TRACE_FIELDS] + ["raw"]
    formats = [f"{order}{'u' if name in _UNSIGNED else 'i'}{size}"
               for name, _, size in TRACE_FIELDS] + [("u1", TRACE_HEADER_BYTES)]
    offsets = [at - 1 for _, at, _ in TRACE_FIELDS] + [0]
    return np.dtype({"names": names, "formats": formats, "offsets": offsets,
                     "itemsize": TRACE_HEADER_BYTES})


_BY_NAME = {name: (name, at, f"{'u' if name in _UNSIGNED else 'i'}{size}")
            for name, at, size in TRACE_FIELDS}
_BY_NAME.update({segyio: _BY_NAME[name] for (name, at, _), segyio in
                 ((f, SEGYIO_TRACE_NAMES.get(f[1])) for f in TRACE_FIELDS) if segyio})
_BY_BYTE = {at: _BY_NAME[name] for name, at, _ in TRACE_FIELDS}


def field_key(key, argument="field"):
    """(name, first byte counted from 1, type code such as 'i4') of a trace
    header field named by the caller: a name of this reader's or segyio's,
    the first byte of a standard field (segyio.TraceField's values are
    those), or a (first byte, type) pair for any other bytes."""
    if isinstance(key, str):
        try:
            return _BY_NAME[key]
        except KeyError:
            raise ValueError(f"{argument}: no trace header field is named {key!r}; the names "
                             f"are those of segy.TRACE_FIELDS or segyio.TraceField") from None
    if isinstance(key, tuple) and len(key) == 2:
        at, code = key
        try:
            at = operator.index(at)
            kind = np.dtype(code)
        except TypeError:
            raise TypeError(f"{argument}: expected (first byte, type) such as (189, 'i4'), got "
                            f"{key!r}") from None
        if kind.kind not in "iuf" or kind.itemsize not in (1, 2, 4, 8) or \
                kind.byteorder not in "=|":
            raise ValueError(f"{argument}: expected an integer or float type without a byte "
                             f"order (the file's is used), such as 'i2', 'u4' or 'f4'; got "
                             f"{code!r}")
        if not 1 <= at <= TRACE_HEADER_BYTES + 1 - kind.itemsize:
            raise ValueError(f"{argument}: bytes {at}-{at + kind.itemsize - 1} are not within "
                             f"the 240 bytes of a trace header (counted from 1)")
        return (f"byte{at}_{kind.kind}{kind.itemsize}", at, f"{kind.kind}{kind.itemsize}")
    try:
        at = operator.index(key)
    except TypeError:
        raise TypeError(f"{argument}: expected a field name, a first byte or a (first byte, "
                        f"type) pair, got {type(key).__name__}") from None
    if at not in _BY_BYTE:
        raise ValueError(f"{argument}: no standard trace header field starts at byte {at}; "
                         f"give (byte, type) for other bytes, such as ({at}, 'i4')")
    return _BY_BYTE[at]


def fields_dtype(keys, byteorder, itemsize):
    """A structured dtype of the given (name, byte, code) fields over a
    record of `itemsize` bytes, in the file's byte order."""
    order = _order(byteorder)
    return np.dtype({"names": [k[0] for k in keys],
                     "formats": [order + k[2] if k[2][1] != "1" else k[2] for k in keys],
                     "offsets": [k[1] - 1 for k in keys], "itemsize": itemsize})
