// The accumulator design in Verilog: what accumulator.h models. Column 0
// adds what is written to it (where mask 0xC014 is set) and reads the sum;
// column 1 holds the threshold; a write to column 2 clears the sum. The add
// that takes the sum from below the threshold to it or above raises irq for
// that one access, with the new sum in irq_word.
module accumulator (
    input  wire        clk,
    input  wire        rst,
    input  wire [ 5:0] column,
    input  wire        write_enable,
    /* verilator lint_off UNUSEDSIGNAL */
    input  wire        read_enable,
    input  wire [31:0] mask_c010,
    /* verilator lint_on UNUSEDSIGNAL */
    input  wire [31:0] write_data,
    input  wire [31:0] mask_c014,
    input  wire        clock_running,
    output wire [31:0] read_data,
    output reg         irq,
    output reg  [31:0] irq_word
);
  reg  [31:0] sum, threshold;
  wire [31:0] value = write_data & mask_c014;
  wire [31:0] added = sum + value;

  assign read_data = column == 6'd0 ? sum : column == 6'd1 ? threshold : 32'd0;

  always @(posedge clk) begin
    if (rst) begin
      sum <= 32'd0;
      threshold <= 32'd0;
      irq <= 1'b0;
      irq_word <= 32'd0;
    end else begin
      irq <= 1'b0;  // high for one access
      if (clock_running && write_enable) begin
        case (column)
          6'd0: begin
            sum <= added;
            if (sum < threshold && added >= threshold) begin
              irq <= 1'b1;
              irq_word <= added;
            end
          end
          6'd1: threshold <= value;
          6'd2: sum <= 32'd0;
          default: ;
        endcase
      end
    end
  end
endmodule
