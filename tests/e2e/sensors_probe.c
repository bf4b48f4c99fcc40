/*
 * Lists what libsensors detects, for the harness's own tests: proof that the
 * sandbox's fake hardware-monitor chips look real to the library the daemon
 * uses.
 *
 * Output: "init <result>", then per chip "chip <prefix>", and per voltage or
 * current feature "in <name> <value>" or "curr <name> <value>" (the value of
 * its input sub-feature as the library returns it, or "none"/"error").
 */
#include <sensors/error.h>
#include <sensors/sensors.h>
#include <stdio.h>

int main(void) {
    const int result = sensors_init(NULL);
    printf("init %d\n", result);
    if (result != 0) {
        printf("error %s\n", sensors_strerror(result));
        return 0;
    }
    int chip_number = 0;
    const sensors_chip_name *chip;
    while ((chip = sensors_get_detected_chips(NULL, &chip_number)) != NULL) {
        printf("chip %s\n", chip->prefix);
        int feature_number = 0;
        const sensors_feature *feature;
        while ((feature = sensors_get_features(chip, &feature_number)) != NULL) {
            const char *kind = NULL;
            sensors_subfeature_type input = SENSORS_SUBFEATURE_UNKNOWN;
            if (feature->type == SENSORS_FEATURE_IN) {
                kind = "in";
                input = SENSORS_SUBFEATURE_IN_INPUT;
            } else if (feature->type == SENSORS_FEATURE_CURR) {
                kind = "curr";
                input = SENSORS_SUBFEATURE_CURR_INPUT;
            } else {
                continue;
            }
            const sensors_subfeature *sub = sensors_get_subfeature(chip, feature, input);
            double value = 0;
            if (sub == NULL) {
                printf("%s %s none\n", kind, feature->name);
            } else if (sensors_get_value(chip, sub->number, &value) != 0) {
                printf("%s %s error\n", kind, feature->name);
            } else {
                printf("%s %s %g\n", kind, feature->name, value);
            }
        }
    }
    sensors_cleanup();
    return 0;
}
