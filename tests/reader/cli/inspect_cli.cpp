int kvr_placeholder;
